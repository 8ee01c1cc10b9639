#!/usr/bin/env python3
"""End-to-end tests: the built ipwhere binary against local HTTPS servers.

Usage: e2e.py PATH_TO_IPWHERE [CASE_NAME...]
Runs as root inside private network and mount namespaces (it enters them
itself). Prints one line per case and "N passed, N failed, N skipped" at
the end. Where it cannot run (not Linux, not root, no namespaces) it says
why and exits with status 77, which CTest reports as skipped.
"""

import contextlib
import ctypes
import errno
import fcntl
import functools
import glob
import json
import os
import platform
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (FULL_QUEUE_V4, FULL_QUEUE_V6, NAMESPACE_MARK,  # noqa: E402
                     NGINX_V4, NGINX_V6, NO_TLS_V4, SAMPLE_IPV4, SAMPLE_IPV6,
                     SERVICE_HOSTS, V4_FALLBACK, V4_PRIMARY, V6_FALLBACK,
                     V6_PRIMARY, Behaviour, ConnectProxy, NameServer, Network,
                     Nginx, Site, SocksProxy, build_measure, link_over,
                     system_ca_bundle)

BINARY = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
CASES = []
SANITIZER_ENTRY_POINTS = {"__asan_init", "__lsan_do_leak_check", "__tsan_init",
                          "__msan_init", "__ubsan_handle_add_overflow"}


@functools.lru_cache(maxsize=None)
def defined_symbols():
    symbols = subprocess.run(["nm", "--defined-only", BINARY],
                             capture_output=True, text=True).stdout
    return {line.split()[-1] for line in symbols.splitlines() if line.strip()}


@functools.lru_cache(maxsize=None)
def sanitized():
    """Whether a sanitizer runtime is in the binary or among its libraries,
    however the build asked for it; valgrind cannot run such a binary."""
    libraries = subprocess.run(["ldd", BINARY], capture_output=True,
                               text=True).stdout
    if re.search(r"lib(a|l|t|m|ub)san\.so", libraries):
        return True
    return bool(defined_symbols() & SANITIZER_ENTRY_POINTS)


def coverage_build():
    """Whether the binary was built with --coverage (GCC's or Clang's)."""
    return any(name.startswith(("__gcov_", "__llvm_gcov", "llvm_gcda_"))
               for name in defined_symbols())


def case(function):
    CASES.append(function)
    return function


def slow_case(function):
    """A case that mostly waits: it runs in a process and namespace of its
    own, alongside the others."""
    function.slow = True
    return case(function)


def document(ip, **members):
    return json.dumps(dict(ip=ip, **members))


FULL_V4 = json.dumps(SAMPLE_IPV4)
FULL_V6 = json.dumps(SAMPLE_IPV6)
FULL_V4_TEXT = ("IPv4 address: 192.0.2.1\n"
                "  Hostname: host4.example\n"
                "  AS: Example Net (64500)\n"
                "  Continent: EU\n"
                "  Country: United Kingdom (GB)\n"
                "  City: London (EC1A)\n"
                "  Coordinates: 51.5074, -0.1278\n"
                "  Timezone: Europe/London\n")
FULL_V6_TEXT = ("IPv6 address: 2001:db8::1\n"
                "  Hostname: host6.example\n"
                "  AS: Example Six (64501)\n"
                "  Continent: OC\n"
                "  Country: Australia (AU)\n"
                "  City: Sydney (2000)\n"
                "  Coordinates: -33.8688, 151.209\n"
                "  Timezone: Australia/Sydney\n")

USAGE = ("Usage: ipwhere [options]\n\n"
         "Options:\n"
         "  --help     Show this help message\n"
         "  --json     Output results in JSON format\n"
         "  -4         Query IPv4 information only\n"
         "  -6         Query IPv6 information only\n")


def both_working():
    return {V4_PRIMARY: Behaviour(FULL_V4), V6_PRIMARY: Behaviour(FULL_V6)}


def down(status=503):
    return Behaviour(status=status, body="down")


class Result:
    def __init__(self, completed, start):
        self.status = completed.returncode
        self.out = completed.stdout.decode("utf-8", "surrogateescape")
        self.err = completed.stderr.decode("utf-8", "surrogateescape")
        self.start = start
        self.elapsed = time.monotonic() - start


def run(*args, timeout=60, wrapper=(), **popen):
    """The binary with `args`, started by the command `wrapper` if any."""
    start = time.monotonic()
    options = dict(capture_output=True) if "stdout" not in popen else \
        dict(stderr=subprocess.PIPE)
    options.update(popen)
    completed = subprocess.run([*wrapper, BINARY, *args], timeout=timeout,
                               **options)
    if completed.stdout is None:
        completed.stdout = b""
    return Result(completed, start)


def peak_rss_mib(*args):
    """The peak resident size of one run, in MiB, measured by a small static
    parent: a child of Python would start with Python's size."""
    tool = build_measure(os.path.dirname(BINARY))
    out = subprocess.run([tool, BINARY, *args], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    return int(out.split()[2]) / 1024


def expect_equal(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def expect_run(result, status, out, err=""):
    expect_equal(result.out, out, "standard output")
    expect_equal(result.err, err, "standard error")
    expect_equal(result.status, status, "exit status")


def hosts_asked(net):
    return [request.server_name for request in net.servers.log()]


# --- Text report -----------------------------------------------------------

@case
def text_report_both_families(net):
    net.servers.configure(both_working())
    expect_run(run(), 0, FULL_V4_TEXT + FULL_V6_TEXT)
    expect_equal(sorted(hosts_asked(net)), sorted([V4_PRIMARY, V6_PRIMARY]),
                 "hosts asked")


@case
def each_family_alone(net):
    net.servers.configure(both_working())
    expect_run(run("-4"), 0, FULL_V4_TEXT)
    expect_equal(hosts_asked(net), [V4_PRIMARY], "hosts asked with -4")
    net.servers.configure(both_working())
    expect_run(run("-6"), 0, FULL_V6_TEXT)
    expect_equal(hosts_asked(net), [V6_PRIMARY], "hosts asked with -6")


@case
def one_family_down(net):
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4),
                           V6_PRIMARY: down(), V6_FALLBACK: down()})
    expect_run(run(), 0, FULL_V4_TEXT + "IPv6 not available.\n")
    net.servers.configure({V4_PRIMARY: down(500), V4_FALLBACK: down(404),
                           V6_PRIMARY: Behaviour(FULL_V6)})
    expect_run(run(), 0, "IPv4 not available.\n" + FULL_V6_TEXT)
    # An unusable answer counts as down, too.
    net.servers.configure({V4_PRIMARY: Behaviour("{\"hostname\":\"x\"}"),
                           V6_PRIMARY: Behaviour(FULL_V6)})
    expect_run(run("--verbose", "-46"), 0, "IPv4 not available.\n" + FULL_V6_TEXT)


@case
def both_families_down(net):
    everything_down = {h: down() for h in (V4_PRIMARY, V4_FALLBACK,
                                           V6_PRIMARY, V6_FALLBACK)}
    for args, line in (((), "Failed to retrieve any IP addresses.\n"),
                       (("-4",), "Failed to retrieve IPv4 address.\n"),
                       (("-6",), "Failed to retrieve IPv6 address.\n"),
                       (("--json",), "Failed to retrieve any IP addresses.\n"),
                       (("-6", "--json"), "Failed to retrieve IPv6 address.\n")):
        net.servers.configure(everything_down)
        expect_run(run(*args), 1, "", line)
        expected_hosts = {(): 4, ("-4",): 2, ("-6",): 2}.get(args, None)
        if expected_hosts:
            expect_equal(len(hosts_asked(net)), expected_hosts, f"requests for {args}")


@case
def record_with_only_ip_and_unpaired_members(net):
    net.servers.configure({
        V4_PRIMARY: Behaviour(document("192.0.2.9")),
        V6_PRIMARY: Behaviour(document("2001:db8::9", country="Exampleland",
                                       city="Sample", postal=None, asn=1,
                                       latitude=True, longitude=2, tz=""))})
    expect_run(run(), 0, "IPv4 address: 192.0.2.9\n"
                         "IPv6 address: 2001:db8::9\n"
                         "  Coordinates: 1, 2\n"
                         "  Timezone: \n")


@case
def control_characters_are_replaced(net):
    net.servers.configure({V4_PRIMARY: Behaviour(
        document("192.0.2.1", hostname="a\u001b[31mb", tz="\u009b2J\u00e9\u0007"))})
    expect_run(run("-4"), 0, "IPv4 address: 192.0.2.1\n"
                             "  Hostname: a?[31mb\n"
                             "  Timezone: ?2J\u00e9?\n")


# --- Fallback --------------------------------------------------------------

def expect_fallback_used(net, primary_behaviour, args=("-4",),
                         primary=V4_PRIMARY, fallback=V4_FALLBACK):
    net.servers.configure({primary: primary_behaviour,
                           fallback: Behaviour(document("192.0.2.200"))})
    label = "IPv4" if primary == V4_PRIMARY else "IPv6"
    expect_run(run(*args), 0, f"{label} address: 192.0.2.200\n")
    asked = hosts_asked(net)
    expect_equal(asked[-1], fallback, "last host asked")
    return asked


@case
def fallback_after_error_status(net):
    for status in (500, 404, 301):
        asked = expect_fallback_used(net, down(status))
        expect_equal(asked, [V4_PRIMARY, V4_FALLBACK], f"hosts asked ({status})")
    asked = expect_fallback_used(net, down(503), ("-6",), V6_PRIMARY, V6_FALLBACK)
    expect_equal(asked, [V6_PRIMARY, V6_FALLBACK], "hosts asked (IPv6)")


@case
def fallback_after_redirect_not_followed(net):
    redirect = Behaviour(status=302, body="moved",
                         headers={"Location": f"https://{V4_PRIMARY}/elsewhere"})
    asked = expect_fallback_used(net, redirect)
    expect_equal([r.target for r in net.servers.log()], ["/json", "/json"],
                 "paths requested")
    expect_equal(asked, [V4_PRIMARY, V4_FALLBACK], "hosts asked")


@case
def fallback_after_refused_connection(net):
    net.map_hosts({V4_PRIMARY: "127.0.0.2"})  # nothing listens there
    try:
        expect_fallback_used(net, Behaviour(FULL_V4))
        expect_equal(hosts_asked(net), [V4_FALLBACK], "requests completed")
    finally:
        net.map_hosts({})


@case
def no_fallback_after_unparseable_body(net):
    for status, body in ((200, "not json"), (200, "{\"ip\": 1}"),
                         (200, "[1,2]"), (204, ""), (299, "")):
        net.servers.configure({V4_PRIMARY: Behaviour(body, status=status),
                               V4_FALLBACK: Behaviour(FULL_V4)})
        expect_run(run("-4"), 1, "", "Failed to retrieve IPv4 address.\n")
        expect_equal(hosts_asked(net), [V4_PRIMARY], f"hosts asked for {body!r}")


@case
def body_size_cap(net):
    cap = 1048576
    prefix = "{\"ip\":\"192.0.2.77\"}"
    exact = prefix + " " * (cap - len(prefix))
    # Announced, ended by closing the connection, or chunked: the cap
    # holds whatever the framing.
    for mode in ("respond", "close_delimited", "chunked"):
        net.servers.configure({V4_PRIMARY: Behaviour(exact, mode=mode),
                               V4_FALLBACK: Behaviour(document("192.0.2.200"))})
        expect_run(run("-4"), 0, "IPv4 address: 192.0.2.77\n")
        expect_equal(hosts_asked(net), [V4_PRIMARY],
                     f"hosts asked for exactly 1 MiB ({mode})")
        expect_fallback_used(net, Behaviour(exact + " ", mode=mode))
    # A header block as large as libcurl itself takes passes; a byte more
    # does not.
    body = document("192.0.2.78")
    net.servers.configure({V4_PRIMARY: Behaviour(
        body, headers=padded_headers(300 * 1024, body))})
    expect_run(run("-4"), 0, "IPv4 address: 192.0.2.78\n")
    expect_fallback_used(net, Behaviour(
        body, headers=padded_headers(300 * 1024 + 1, body)))


def padded_headers(block_size, body):
    """Fields that make the harness's header block block_size bytes long."""
    size = len(f"HTTP/1.1 200 OK\r\nContent-Length: {len(body)}\r\n"
               "Connection: close\r\n\r\n")
    headers = {}
    while size < block_size:
        name = f"X-Pad-{len(headers):03}"
        value = "a" * min(1000, block_size - size - len(name) - 4)
        headers[name] = value
        size += len(name) + 4 + len(value)
    expect_equal(size, block_size, "header block size")
    return headers


# --- Hostile servers --------------------------------------------------------

@case
def endless_header_fields_are_cut_short(net):
    net.servers.configure(both_working())
    usual = peak_rss_mib("-4")
    for mode in ("endless_headers", "endless_trailers"):
        hostile = {V4_PRIMARY: Behaviour(FULL_V4, mode=mode),
                   V4_FALLBACK: Behaviour(document("192.0.2.200"))}
        net.servers.configure(hostile)
        result = run("-4")
        expect_run(result, 0, "IPv4 address: 192.0.2.200\n")
        expect_equal(hosts_asked(net), [V4_PRIMARY, V4_FALLBACK],
                     f"hosts asked ({mode})")
        expect(result.elapsed < 3, f"{mode}: the run took {result.elapsed:.2f} s")
        net.servers.configure(hostile)
        peak = peak_rss_mib("-4")
        expect(peak < usual + 16,
               f"{mode}: peak RSS {peak:.1f} MiB, {usual:.1f} MiB for an answer")
        print(f"  {mode}: {result.elapsed:.2f} s, peak RSS {peak:.1f} MiB "
              f"({usual:.1f} MiB for an answer)")


@case
def deeply_nested_body(net):
    depth = 100000
    nested = "[" * depth + "]" * depth
    net.servers.configure({V4_PRIMARY: Behaviour(
        "{\"extra\":" + nested + ",\"ip\":\"192.0.2.5\"}")})
    expect_run(run("-4", timeout=20), 0, "IPv4 address: 192.0.2.5\n")
    net.servers.configure({V4_PRIMARY: Behaviour(nested),
                           V4_FALLBACK: Behaviour(FULL_V4)})
    expect_run(run("-4", timeout=20), 1, "", "Failed to retrieve IPv4 address.\n")
    expect_equal(hosts_asked(net), [V4_PRIMARY], "no fallback for a parsed body")


@case
def invalid_utf8_in_a_string(net):
    for raw in (b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xc3"):
        net.servers.configure({V4_PRIMARY: Behaviour(b"{\"ip\":\"1" + raw + b"\"}"),
                               V4_FALLBACK: Behaviour(FULL_V4)})
        for args in (("-4",), ("-4", "--json")):
            expect_run(run(*args), 1, "", "Failed to retrieve IPv4 address.\n")


@case
def every_control_character(net):
    controls = "".join(chr(c) for c in list(range(0x20)) + [0x7F] +
                       list(range(0x80, 0xA0)))
    body = document("192.0.2.1", hostname="<" + controls + ">")
    net.servers.configure({V4_PRIMARY: Behaviour(body)})
    expect_run(run("-4"), 0, "IPv4 address: 192.0.2.1\n  Hostname: <" +
               "?" * len(controls) + ">\n")
    net.servers.configure({V4_PRIMARY: Behaviour(body)})
    result = run("-4", "--json")
    expect_equal((result.status, result.err), (0, ""), "status and errors")
    expect_equal(json.loads(result.out)["ipv4"]["hostname"], "<" + controls + ">",
                 "JSON keeps the string")
    expect("\\u0000" in result.out and "\\u001f" in result.out, "C0 escaped")
    expect("\\u007f" in result.out and "\\u009f" in result.out and
           not any(c in result.out for c in controls[0x20:]), "DEL and C1 escaped")


@case
def certificate_problems_use_the_fallback(net):
    for kind in ("wrong_host", "expired", "untrusted"):
        expect_fallback_used(net, Behaviour(FULL_V4, cert=kind))
        expect_equal(hosts_asked(net), [V4_FALLBACK], f"requests completed ({kind})")
        expect_equal(net.servers.connections, [V4_PRIMARY, V4_FALLBACK],
                     f"TLS connections ({kind})")
    expect_fallback_used(net, Behaviour(FULL_V6, cert="expired"), ("-6",),
                         V6_PRIMARY, V6_FALLBACK)


@case
def redirect_loop_is_not_followed(net):
    loop = Behaviour(status=301, body="",
                     headers={"Location": f"https://{V4_PRIMARY}/json"})
    net.servers.configure({V4_PRIMARY: loop, V4_FALLBACK: loop})
    expect_run(run("-4", timeout=10), 1, "", "Failed to retrieve IPv4 address.\n")
    expect_equal(hosts_asked(net), [V4_PRIMARY, V4_FALLBACK], "one request each")


@case
def truncated_bodies_use_the_fallback(net):
    for mode in ("close_mid_body", "short_body", "silent_close"):
        expect_fallback_used(net, Behaviour(FULL_V4, mode=mode))


# --- The request and its timing -------------------------------------------

@case
def request_on_the_wire(net):
    net.servers.configure({V4_PRIMARY: down(), V4_FALLBACK: Behaviour(FULL_V4),
                           V6_PRIMARY: down(), V6_FALLBACK: Behaviour(FULL_V6)})
    expect_run(run(), 0, FULL_V4_TEXT + FULL_V6_TEXT)
    requests = net.servers.log()
    expect_equal(sorted(r.server_name for r in requests),
                 sorted([V4_PRIMARY, V4_FALLBACK, V6_PRIMARY, V6_FALLBACK]),
                 "hosts asked")
    for r in requests:
        expect_equal((r.method, r.target, r.version), ("GET", "/json", "HTTP/1.1"),
                     "request line")
        expect_equal(r.header("Host"), r.server_name, "Host header")
        expect_equal(r.header("User-Agent"), "ipwhereagent/1.0", "User-Agent")
    order = {r.server_name: r.when for r in requests}
    expect(order[V4_PRIMARY] < order[V4_FALLBACK], "IPv4 primary asked first")
    expect(order[V6_PRIMARY] < order[V6_FALLBACK], "IPv6 primary asked first")


@case
def lookups_overlap(net):
    delay = 1.5
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4, delay=delay),
                           V6_PRIMARY: Behaviour(FULL_V6, delay=delay)})
    result = run()
    expect_run(result, 0, FULL_V4_TEXT + FULL_V6_TEXT)
    expect(delay <= result.elapsed < 2 * delay - 0.3,
           f"two {delay} s lookups took {result.elapsed:.2f} s")


@case
def ipv4_printed_first_when_ipv6_answers_first(net):
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4, delay=0.8),
                           V6_PRIMARY: Behaviour(FULL_V6)})
    expect_run(run(), 0, FULL_V4_TEXT + FULL_V6_TEXT)
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4, delay=0.8),
                           V6_PRIMARY: Behaviour(FULL_V6)})
    result = run("--json")
    expect(result.out.index("\"ipv4\"") < result.out.index("\"ipv6\""),
           "ipv4 before ipv6 in JSON")


# --- Time bounds: 10 s to connect, 20 s per request ----------------------

def expect_seconds(seconds, bound, what):
    # The bounds are libcurl's own clock, so never early; the slack is for
    # process start-up and exit on a busy machine, which ThreadSanitizer
    # makes take 1.6 s of a run that waits out two bounds.
    slack = 3.0 if sanitized() else 2.0
    expect(bound - 0.05 <= seconds <= bound + slack,
           f"{what}: {seconds:.2f} s, expected about {bound} s")


def expect_fallback_after(net, seconds, primary_behaviour=None):
    """-4 with the fallback answering; it is asked `seconds` after start."""
    behaviours = {V4_FALLBACK: Behaviour(document("192.0.2.200"))}
    if primary_behaviour:
        behaviours[V4_PRIMARY] = primary_behaviour
    net.servers.configure(behaviours)
    result = run("-4")
    expect_run(result, 0, "IPv4 address: 192.0.2.200\n")
    fallback = [r for r in net.servers.log() if r.server_name == V4_FALLBACK]
    expect_equal(len(fallback), 1, "fallback requests")
    expect_seconds(fallback[0].when - result.start, seconds, "fallback asked after")
    print(f"  fallback asked after {fallback[0].when - result.start:.2f} s")


@slow_case
def connect_bound_when_tls_never_starts(net):
    net.map_hosts({V4_PRIMARY: NO_TLS_V4})
    expect_fallback_after(net, 10)
    expect_equal(hosts_asked(net), [V4_FALLBACK], "requests completed")


@slow_case
def connect_bound_when_syns_are_dropped(net):
    net.map_hosts({V4_PRIMARY: FULL_QUEUE_V4})
    expect_fallback_after(net, 10)


@slow_case
def connect_bound_when_the_name_server_is_silent(net):
    # The resolver would wait 30 s; the lookup must give up after 10 s. The
    # name server is not the resolver's default, 127.0.0.1, so asking it
    # shows that the confined run still reads resolv.conf.
    name_server = NameServer(("127.0.0.2",))
    net.configure_resolver(("127.0.0.2",), options="timeout:30 attempts:1")
    net.map_hosts({V4_PRIMARY: None})
    expect_fallback_after(net, 10)
    expect(V4_PRIMARY in name_server.names(), "the name server was asked")
    if memcheck_available():
        # The resolver thread is still waiting when the process ends: that
        # must not show as a leak or an error.
        net.servers.configure({V4_FALLBACK: Behaviour(document("192.0.2.200"))})
        expect_run(run_memcheck("-4"), 0, "IPv4 address: 192.0.2.200\n")


@slow_case
def silent_name_server_for_every_host_fails_within_two_connect_bounds(net):
    name_server = NameServer()
    net.configure_resolver(options="timeout:30 attempts:1")
    net.map_hosts({host: None for host in SERVICE_HOSTS})
    net.servers.configure(both_working())
    result = run()
    expect_run(result, 1, "", "Failed to retrieve any IP addresses.\n")
    expect_seconds(result.elapsed, 20, "run took")
    expect_equal(sorted(set(name_server.names())), sorted(SERVICE_HOSTS),
                 "names asked")
    print(f"  failed after {result.elapsed:.2f} s")


@slow_case
def request_bound_when_the_answer_never_comes(net):
    expect_fallback_after(net, 20, Behaviour(FULL_V4, mode="silent"))
    expect_equal(hosts_asked(net), [V4_PRIMARY, V4_FALLBACK], "hosts asked")


@slow_case
def request_bound_when_the_body_trickles(net):
    expect_fallback_after(net, 20, Behaviour(FULL_V4, mode="trickle"))


@slow_case
def slow_answer_inside_the_bounds_is_taken(net):
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4, delay=8),
                           V4_FALLBACK: Behaviour(document("192.0.2.200"))})
    result = run("-4")
    expect_run(result, 0, FULL_V4_TEXT)
    expect_equal(hosts_asked(net), [V4_PRIMARY], "hosts asked")
    expect_seconds(result.elapsed, 8, "run took")
    print(f"  answered after {result.elapsed:.2f} s")


@slow_case
def unreachable_ipv6_costs_two_connect_bounds(net):
    # The IPv4 block is on the pipe long before the IPv6 family gives up.
    net.map_hosts({V6_PRIMARY: FULL_QUEUE_V6, V6_FALLBACK: FULL_QUEUE_V6})
    net.servers.configure(both_working())
    start = time.monotonic()
    child = subprocess.Popen([BINARY], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, bufsize=0)
    first = b""
    while len(first) < len(FULL_V4_TEXT) and child.poll() is None:
        first += os.read(child.stdout.fileno(), 4096)
    first_seconds = time.monotonic() - start
    rest, err = child.communicate(timeout=60)
    elapsed = time.monotonic() - start
    expect_equal((first + rest).decode(), FULL_V4_TEXT + "IPv6 not available.\n",
                 "standard output")
    expect_equal((err, child.returncode), (b"", 0), "errors and status")
    expect(first_seconds < 3, f"IPv4 block after {first_seconds:.2f} s")
    expect_seconds(elapsed, 20, "run took")
    print(f"  IPv4 block after {first_seconds:.2f} s, finished after {elapsed:.2f} s")


@slow_case
def every_host_silent_fails_within_two_request_bounds(net):
    net.servers.configure({host: Behaviour(mode="silent") for host in
                           (V4_PRIMARY, V4_FALLBACK, V6_PRIMARY, V6_FALLBACK)})
    result = run()
    expect_run(result, 1, "", "Failed to retrieve any IP addresses.\n")
    expect_equal(sorted(hosts_asked(net)),
                 sorted([V4_PRIMARY, V4_FALLBACK, V6_PRIMARY, V6_FALLBACK]),
                 "hosts asked")
    expect_seconds(result.elapsed, 40, "run took")
    print(f"  failed after {result.elapsed:.2f} s")


# --- Name resolution and proxies as systems set them up -------------------

@slow_case
def resolver_file_replaced_or_late_during_a_run(net):
    # As on a system with a local resolver service: /etc/resolv.conf links
    # into the service's folder, where the file is replaced by rename on a
    # network change, or appears only once the service is up. The primary
    # fails after 2 s; the fallback's name is known to the name server only.
    name_server = NameServer(("127.0.0.53",), answers={V4_FALLBACK: "127.0.0.1"})
    net.map_hosts({V4_FALLBACK: None})
    for replaced in (True, False):
        if replaced:
            net.configure_resolver(("127.0.0.53",))
        else:
            os.remove(net.resolv_file)
        net.servers.configure({V4_PRIMARY: Behaviour(status=503, body="down",
                                                     delay=2),
                               V4_FALLBACK: Behaviour(document("192.0.2.200"))})
        timer = threading.Timer(1, net.configure_resolver, (("127.0.0.53",),))
        timer.start()
        try:
            result = run("-4")
        finally:
            timer.join()
        what = "replaced" if replaced else "late"
        expect_run(result, 0, "IPv4 address: 192.0.2.200\n")
        expect_equal(hosts_asked(net), [V4_PRIMARY, V4_FALLBACK],
                     f"hosts asked ({what})")
    expect(V4_FALLBACK in name_server.names(), "the name server was asked")


def outer_filter(refuse_with=None):
    """In a child before exec: a system-call filter that kills the process
    on the Landlock calls, as systemd 252's SystemCallFilter=@system-service
    does; or, with `refuse_with` (an errno), makes them fail as on a kernel
    without Landlock, and seccomp filters and PR_SET_MDWE fail too."""
    seccomp = ctypes.CDLL("libseccomp.so.2")
    seccomp.seccomp_init.restype = ctypes.c_void_p
    context = ctypes.c_void_p(seccomp.seccomp_init(ctypes.c_uint32(0x7FFF0000)))
    action = 0x80000000 if refuse_with is None else 0x00050000 | refuse_with
    numbers = [444, 445, 446]
    if refuse_with is not None:
        numbers.append(seccomp.seccomp_syscall_resolve_name(b"seccomp"))
    for number in numbers:
        seccomp.seccomp_rule_add(context, ctypes.c_uint32(action),
                                 ctypes.c_int(number), ctypes.c_uint(0))
    if refuse_with is not None:
        # prctl(PR_SET_SECCOMP) and prctl(PR_SET_MDWE), as older kernels.
        prctl = seccomp.seccomp_syscall_resolve_name(b"prctl")
        for option in (22, 65):
            comparison = struct.pack("=IIQQ", 0, 4, option, 0)  # arg 0 ==
            seccomp.seccomp_rule_add_array(
                context, ctypes.c_uint32(0x00050000 | 22), ctypes.c_int(prctl),
                ctypes.c_uint(1), ctypes.c_char_p(comparison))
    if seccomp.seccomp_load(context) != 0:
        os._exit(125)


def kill_on_landlock_calls():
    outer_filter()


def refuse_confinement_calls():
    outer_filter(refuse_with=38)  # ENOSYS


@case
def a_service_managers_filter_does_not_kill_the_run(net):
    try:
        ctypes.CDLL("libseccomp.so.2")
    except OSError:
        raise Skip("no libseccomp.so.2 to build the outer filter with")
    for args, out in (((), FULL_V4_TEXT + FULL_V6_TEXT),
                      (("-6", "--json"), expected_json(ipv6=SAMPLE_IPV6))):
        for outer in (kill_on_landlock_calls, refuse_confinement_calls):
            net.servers.configure(both_working())
            expect_run(run(*args, preexec_fn=outer), 0, out)
    # Only what would have killed the run, or failed, is left out: a
    # waiting run is still nobody, and under its own filter besides the
    # outer one where that one lets it have one.
    if not confined_build():
        return
    for outer, filters in ((kill_on_landlock_calls, "3"),
                           (refuse_confinement_calls, "1")):
        expect_equal(waiting_run_status(net, "Uid", "Seccomp_filters",
                                        preexec_fn=outer),
                     {"Uid": "65534 65534 65534 65534",
                      "Seccomp_filters": filters},
                     f"a waiting run under {outer.__name__}")


def confined_build():
    """Whether the binary is built to confine itself (CTest says)."""
    return os.environ.get("IPWHERE_CONFINEMENT", "1") == "1"


def waiting_run_status(net, *keys, wrapper=(), **popen):
    """The named lines of /proc/PID/status of `ipwhere -4` while it waits
    for a silent host; `wrapper` is a command that execs it."""
    net.servers.configure({V4_PRIMARY: Behaviour(mode="silent")})
    child = subprocess.Popen([*wrapper, BINARY, "-4"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, **popen)
    try:
        deadline = time.monotonic() + 10
        while not net.servers.log() and time.monotonic() < deadline:
            time.sleep(0.02)
        return process_status(child.pid, *keys)
    finally:
        child.kill()
        child.wait()


NO_CAPABILITIES = {cap: "0000000000000000" for cap in
                   ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")}


@case
def no_run_keeps_a_capability_or_root_where_it_can_avoid_it(net):
    # A CA bundle nobody may not read is read before the switch; a user
    # namespace that does not map nobody keeps uid 0, without capabilities;
    # an ordinary user with ambient capabilities (a service's
    # AmbientCapabilities=) loses them.
    bundle = os.path.realpath(system_ca_bundle())
    unmapped = ["unshare", "--user", "--map-root-user"]
    ambient = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
               "--clear-groups", "--inh-caps=+net_raw",
               "--ambient-caps=+net_raw"]
    caps = tuple(NO_CAPABILITIES)
    trial = subprocess.run([*unmapped, "true"], capture_output=True, text=True)
    if trial.returncode != 0:  # a kernel without them, or none allowed
        raise Skip("cannot make a user namespace: " + trial.stderr.strip())
    os.chmod(bundle, 0o600)
    try:
        for wrapper, uid in (((), NOBODY), (unmapped, 0)):
            net.servers.configure(both_working())
            expect_run(run(wrapper=wrapper), 0, FULL_V4_TEXT + FULL_V6_TEXT)
            if not confined_build():
                continue
            expect_equal(waiting_run_status(net, "Uid", *caps, wrapper=wrapper),
                         {"Uid": f"{uid} {uid} {uid} {uid}", **NO_CAPABILITIES},
                         f"a waiting run under {wrapper}")
    finally:
        os.chmod(bundle, 0o644)
    if not confined_build():
        return
    status = waiting_run_status(net, *caps, wrapper=ambient)
    expect_equal({k: v for k, v in status.items() if k != "CapBnd"},
                 {k: v for k, v in NO_CAPABILITIES.items() if k != "CapBnd"},
                 "a waiting run of a user with ambient capabilities")


CURLINFO_CAPATH = 0x100000 + 62


def curl_ca_directory():
    """The CA directory libcurl reads by default, or None."""
    curl = ctypes.CDLL("libcurl.so.4")
    curl.curl_easy_init.restype = ctypes.c_void_p
    handle = ctypes.c_void_p(curl.curl_easy_init())
    path = ctypes.c_char_p()
    found = curl.curl_easy_getinfo(handle, CURLINFO_CAPATH,
                                   ctypes.byref(path)) == 0 and path.value
    curl.curl_easy_cleanup(handle)
    return path.value.decode() if found else None


@case
def a_ca_only_in_the_ca_directory(net):
    # As a company's CA package installs its CA: in a folder of its own,
    # linked into the CA directory by its subject hash, and not in the
    # bundle.
    directory = curl_ca_directory()
    if directory != "/etc/ssl/certs":
        raise Skip(f"libcurl's CA directory is {directory}, not /etc/ssl/certs")
    bundle = system_ca_bundle()
    if not os.path.islink(bundle):
        raise Skip(f"{bundle} is not a link the test can point elsewhere")
    usual = os.readlink(bundle)
    subject_hash = subprocess.run(
        ["openssl", "x509", "-hash", "-noout", "-in", net.certs.bundle],
        capture_output=True, text=True, check=True).stdout.strip()
    entry = os.path.join(directory, subject_hash + ".0")
    folder = os.path.join(net.dir, "corp")
    os.mkdir(folder)
    os.chmod(folder, 0o755)
    ca = shutil.copy(net.certs.bundle, folder)
    os.chmod(ca, 0o644)
    other = os.path.join(net.certs.dir, "rogue.pem")
    os.chmod(other, 0o644)
    both = FULL_V4_TEXT + FULL_V6_TEXT
    try:
        link_over(bundle, other)
        net.servers.configure(both_working())
        expect_run(run(), 1, "", "Failed to retrieve any IP addresses.\n")
        os.symlink(ca, entry)
        for who, preexec in (("root", None), ("nobody", as_nobody)):
            net.servers.configure(both_working())
            result = run(preexec_fn=preexec)
            expect_equal((result.out, result.err, result.status), (both, "", 0),
                         f"output, errors and status as {who}")
        # A copy only root may read must not fail a root run.
        os.remove(entry)
        shutil.copy(ca, entry)
        os.chmod(entry, 0o600)
        net.servers.configure(both_working())
        expect_run(run(), 0, both)
        # A hashed name left by a CA removed, folder and all, without
        # hashing the directory again is read by no one: a root run still
        # becomes nobody.
        os.remove(entry)
        os.symlink(os.path.join(folder, "removed", "ca.pem"), entry)
        link_over(bundle, usual)
        net.servers.configure(both_working())
        expect_run(run(), 0, both)
        if confined_build():
            expect_equal(waiting_run_status(net, "Uid")["Uid"].split()[0],
                         str(NOBODY), "the user of a run beside a dangling link")
    finally:
        if os.path.lexists(entry):
            os.remove(entry)
        link_over(bundle, usual)


def tasks_of(uid):
    """The number of tasks (threads) whose real user is `uid`."""
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            status = process_status(int(pid), "Uid", "Threads")
        except (OSError, KeyError):
            continue  # gone meanwhile
        if int(status["Uid"].split()[0]) == uid:
            count += int(status["Threads"])
    return count


@case
def a_root_run_where_nobody_is_at_its_process_limit(net):
    # Threads count against the process limit of their real user, which
    # root is spared: a run that became nobody here could start no thread.
    sleeper = subprocess.Popen(["sleep", "60"], preexec_fn=as_nobody)
    try:
        limit = tasks_of(NOBODY)

        def at_limit():
            resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))

        for args, out in (((), FULL_V4_TEXT + FULL_V6_TEXT),
                          (("-6", "--json"), expected_json(ipv6=SAMPLE_IPV6))):
            net.servers.configure(both_working())
            expect_run(run(*args, preexec_fn=at_limit), 0, out)
        # Without CAP_SYS_RESOURCE, which lifts the limit: one task short of
        # the five a run may have at once, it stays root; with room for
        # them, it goes on as nobody. Runs of other cases become nobody
        # too: a count that changed during the run is measured again. A
        # sanitizer's own threads (ThreadSanitizer's) would count as well.
        boundary = () if sanitized() else ((4, "0"), (5, str(NOBODY)))
        for spare, uid in boundary:
            for _ in range(10):
                tasks = tasks_of(NOBODY)
                room = tasks + spare
                status = waiting_run_status(
                    net, "Uid", wrapper=["setpriv", "--bounding-set=-sys_resource"],
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NPROC,
                                                          (room, room)))
                if tasks_of(NOBODY) == tasks:
                    break
            expect_equal(status["Uid"].split()[0], uid,
                         f"user with room for {spare} more tasks")
    finally:
        sleeper.kill()
        sleeper.wait()


@case
def requests_through_a_proxy(net):
    proxies = {port: ConnectProxy(port) for port in (3128, 1080)}
    clean = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    try:
        # The port named, and libcurl's default port for a proxy without one.
        for variable, value, port in (("https_proxy", "http://127.0.0.1:3128",
                                       3128),
                                      ("ALL_PROXY", "127.0.0.1", 1080)):
            net.servers.configure(both_working())
            expect_run(run(env=dict(clean, **{variable: value})), 0,
                       FULL_V4_TEXT + FULL_V6_TEXT)
            expect_equal(sorted(proxies[port].targets()),
                         [V4_PRIMARY + ":443", V6_PRIMARY + ":443"],
                         f"tunnels through port {port}")
    finally:
        for proxy in proxies.values():
            proxy.close()


# Debian's /etc/proxychains4.conf, with the proxy a Tor daemon would be.
PROXYCHAINS_CONF = ("strict_chain\nproxy_dns\nremote_dns_subnet 224\n"
                    "tcp_read_time_out 15000\ntcp_connect_time_out 8000\n"
                    "[ProxyList]\nsocks5 127.0.0.1 9050\n")


@case
def through_torsocks_and_proxychains(net):
    # Each preloads a library that sends every connection, and name lookups
    # too, through a SOCKS proxy: the run gives what it gives without them.
    tools = [tool for tool in ("torsocks", "proxychains4") if shutil.which(tool)]
    if not tools:
        raise Skip("neither torsocks nor proxychains4 is installed")
    config = os.path.join(net.dir, "proxychains4.conf")
    with open(config, "w") as f:
        f.write(PROXYCHAINS_CONF)
    os.chmod(config, 0o644)
    wrappers = {"torsocks": ["torsocks"],
                "proxychains4": ["proxychains4", "-q", "-f", config]}
    # Their libraries leak what LeakSanitizer would report.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0",
               LSAN_OPTIONS="detect_leaks=0")
    proxy = SocksProxy(9050)
    try:
        for tool in tools:
            for args, out in (((), FULL_V4_TEXT + FULL_V6_TEXT),
                              (("-4",), FULL_V4_TEXT)):
                net.servers.configure(both_working())
                done = len(proxy.targets())
                expect_run(run(*args, wrapper=wrappers[tool], env=env), 0, out)
                hosts = sorted(hosts_asked(net))
                targets = proxy.targets()[done:]
                if tool == "torsocks":  # names resolved through the proxy
                    expect_equal(sorted(targets), sorted(
                        [f"RESOLVE {host}" for host in hosts] +
                        [f"{host}:443" for host in hosts]),
                        f"{tool} {args}: proxy requests")
                else:  # names in the hosts file resolved by proxychains
                    expect_equal([t.rsplit(":", 1)[1] for t in targets],
                                 ["443"] * len(hosts),
                                 f"{tool} {args}: ports of the tunnels")
    finally:
        proxy.close()


# Notes the address and port of each connect() on the descriptor named by
# CONNECT_LOG_FD, which the run must keep open for it, and what became of
# its tries on the terminal named by CONNECT_TERMINAL_FD.
CONNECT_LOGGER = r"""
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <stdio.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int log_fd = -1, terminal_fd = -1, probed = 0;

__attribute__((constructor)) static void start(void) {
  const char *fd = getenv("CONNECT_LOG_FD");
  if (fd) log_fd = atoi(fd);
  fd = getenv("CONNECT_TERMINAL_FD");
  if (fd) terminal_fd = atoi(fd);
}

/* Code inside a confined run, once: the terminal it inherited above 2. */
static void probe_terminal(void) {
  char byte, line[80];
  struct winsize size = {24, 80, 0, 0};
  if (terminal_fd < 0 || __atomic_exchange_n(&probed, 1, __ATOMIC_SEQ_CST))
    return;
  errno = 0;
  long got = read(terminal_fd, &byte, 1);
  int read_errno = errno;
  errno = 0;
  int set = ioctl(terminal_fd, TIOCSWINSZ, &size);
  int length = snprintf(line, sizeof line, "terminal read %ld %d, winsize %d %d\n",
                        got, read_errno, set, errno);
  if (write(log_fd, line, length) < 0) {
  }
}

int connect(int socket, const struct sockaddr *address, socklen_t length) {
  int (*next)(int, const struct sockaddr *, socklen_t) =
      (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT,
                                                              "connect");
  const struct sockaddr_in *v4 = (const struct sockaddr_in *)address;
  const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)address;
  char host[INET6_ADDRSTRLEN], line[80];
  int size = 0;
  if (address->sa_family == AF_INET &&
      inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host))
    size = snprintf(line, sizeof line, "connect %s %d\n", host,
                    ntohs(v4->sin_port));
  else if (address->sa_family == AF_INET6 &&
           inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host))
    size = snprintf(line, sizeof line, "connect %s %d\n", host,
                    ntohs(v6->sin6_port));
  if (size > 0 && write(log_fd, line, size) < 0) {
  }
  probe_terminal();
  return next(socket, address, length);
}
"""


@case
def a_preloaded_library_keeps_its_descriptor(net):
    library = os.path.join(net.dir, "connect-logger.so")
    source = library[:-3] + ".c"
    with open(source, "w") as f:
        f.write(CONNECT_LOGGER)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, source, "-ldl"],
                   check=True)
    read_end, write_end = os.pipe()
    # Far above what the run opens itself, which it could write into.
    log_fd = fcntl.fcntl(write_end, fcntl.F_DUPFD, 100)
    os.close(write_end)
    # A terminal the run inherits besides its standard descriptors (a
    # shell's `3</dev/tty`), with a line typed ahead: it stays open, but
    # nothing in the run may read it or change it.
    master, tty = os.openpty()
    terminal_fd = fcntl.fcntl(tty, fcntl.F_DUPFD, 90)
    os.close(tty)
    os.write(master, b"typed ahead\n")
    try:
        net.servers.configure(both_working())
        result = run(env=dict(os.environ, LD_PRELOAD=library,
                              CONNECT_LOG_FD=str(log_fd),
                              CONNECT_TERMINAL_FD=str(terminal_fd)),
                     pass_fds=(log_fd, terminal_fd))
        os.close(log_fd)
        log_fd = None
        with os.fdopen(read_end, "r") as log:
            read_end = None
            lines = log.read().splitlines()
        size = struct.unpack("4H", fcntl.ioctl(terminal_fd, termios.TIOCGWINSZ,
                                               bytes(8)))
    finally:
        for fd in (read_end, log_fd, terminal_fd, master):
            if fd is not None:
                os.close(fd)
    expect_run(result, 0, FULL_V4_TEXT + FULL_V6_TEXT)
    connects = ["connect 127.0.0.1 443", "connect ::1 443"]
    if not confined_build():
        expect_equal(sorted(lines)[:2], connects, "connections the library saw")
        return
    eperm = errno.EPERM
    expect_equal(sorted(lines),
                 connects + [f"terminal read -1 {eperm}, winsize -1 {eperm}"],
                 "what the library saw")
    expect_equal(size[:2], (0, 0), "the terminal's size")


def nss_module(name):
    for pattern in ("/lib/*/", "/usr/lib/*/", "/lib64/", "/usr/lib64/"):
        if glob.glob(pattern + f"libnss_{name}.so.2"):
            return True
    return False


@case
def name_services_that_ask_a_daemon_give_way_to_dns(net):
    # What Debian writes into nsswitch.conf with libnss-resolve installed.
    # The resolve module asks its daemon over a UNIX socket, which the run
    # may not open: it must report itself unavailable, and dns answer.
    if not (nss_module("resolve") and nss_module("myhostname")):
        raise Skip("needs libnss_resolve.so.2 and libnss_myhostname.so.2")
    name_server = NameServer(("127.0.0.6",), answers={V4_PRIMARY: "127.0.0.1",
                                                      V6_PRIMARY: "::1"})
    net.use_name_services("files myhostname resolve [!UNAVAIL=return] dns")
    net.configure_resolver(("127.0.0.6",))
    net.map_hosts({V4_PRIMARY: None, V6_PRIMARY: None})
    try:
        net.servers.configure(both_working())
        expect_run(run(), 0, FULL_V4_TEXT + FULL_V6_TEXT)
        expect_equal(sorted(set(name_server.names())), [V4_PRIMARY, V6_PRIMARY],
                     "names asked")
    finally:
        net.map_hosts({})
        net.configure_resolver()
        net.use_name_services("files dns")


# A vendor's name-service module: names that start with "4." are at
# 127.0.0.1, those with "6." at ::1, as in the suite's hosts file.
VENDOR_MODULE = r"""
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <nss.h>
#include <stdint.h>
#include <string.h>

static int address_of(const char *name, int *family, unsigned char *bytes) {
  *family = name[0] == '4' ? AF_INET : AF_INET6;
  return (name[0] == '4' || name[0] == '6') && name[1] == '.' &&
         inet_pton(*family, *family == AF_INET ? "127.0.0.1" : "::1", bytes);
}

static enum nss_status none(int *errnop, int *herrnop, int error) {
  *errnop = error;
  *herrnop = error == ERANGE ? NETDB_INTERNAL : HOST_NOT_FOUND;
  return error == ERANGE ? NSS_STATUS_TRYAGAIN : NSS_STATUS_NOTFOUND;
}

enum nss_status _nss_vendor_gethostbyname4_r(const char *name,
    struct gaih_addrtuple **result, char *buffer, size_t length, int *errnop,
    int *herrnop, int32_t *ttlp) {
  struct gaih_addrtuple *tuple = (struct gaih_addrtuple *)buffer;
  int family;
  if (length < sizeof *tuple + strlen(name) + 1)
    return none(errnop, herrnop, ERANGE);
  if (!address_of(name, &family, (unsigned char *)tuple->addr))
    return none(errnop, herrnop, ENOENT);
  tuple->name = strcpy(buffer + sizeof *tuple, name);
  tuple->family = family;
  tuple->scopeid = 0;
  tuple->next = NULL;
  *result = tuple;
  if (ttlp) *ttlp = 0;
  return NSS_STATUS_SUCCESS;
}

enum nss_status _nss_vendor_gethostbyname2_r(const char *name, int af,
    struct hostent *host, char *buffer, size_t length, int *errnop,
    int *herrnop) {
  char **list = (char **)buffer, *bytes = buffer + 3 * sizeof(char *);
  int family;
  if (length < 3 * sizeof(char *) + 16 + strlen(name) + 1)
    return none(errnop, herrnop, ERANGE);
  if (!address_of(name, &family, (unsigned char *)bytes) || family != af)
    return none(errnop, herrnop, ENOENT);
  list[0] = bytes;
  list[1] = list[2] = NULL;
  host->h_name = strcpy(bytes + 16, name);
  host->h_aliases = &list[2];
  host->h_addrtype = family;
  host->h_length = family == AF_INET ? 4 : 16;
  host->h_addr_list = list;
  return NSS_STATUS_SUCCESS;
}
"""


@contextlib.contextmanager
def mounted(target, *how):
    """`how` (mount's arguments before the target) mounted on `target` while
    the block runs, in the suite's own mount namespace."""
    subprocess.run(["mount", *how, target], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", target], check=True)


@case
def a_vendors_name_service_module_where_the_loader_finds_it(net):
    # Under /opt, found through /etc/ld.so.conf.d (and the cache ldconfig
    # makes from it) or through LD_LIBRARY_PATH, and opened at the first
    # lookup: the only source of hosts named in nsswitch.conf.
    if not (os.path.isdir("/opt") and shutil.which("ldconfig")):
        raise Skip("needs /opt and ldconfig")
    source = os.path.join(net.dir, "vendor.c")
    with open(source, "w") as f:
        f.write(VENDOR_MODULE)
    folder = "/opt/vendor/lib"
    conf = "/etc/ld.so.conf.d/vendor.conf"  # on the suite's layer over /etc
    cache = os.path.join(net.dir, "ld.so.cache")
    with mounted("/opt", "-t", "tmpfs", "-o", "mode=755", "tmpfs"):
        os.makedirs(folder, 0o755)
        module = os.path.join(folder, "libnss_vendor.so.2")
        subprocess.run(["cc", "-shared", "-fPIC", "-o", module, source],
                       check=True)
        os.chmod(module, 0o755)
        net.use_name_services("vendor")
        try:
            for way in ("ld.so.conf.d", "LD_LIBRARY_PATH"):
                env = dict(os.environ)
                with contextlib.ExitStack() as found:
                    if way == "LD_LIBRARY_PATH":
                        env[way] = folder
                    else:
                        with open(conf, "w") as f:
                            f.write(folder + "\n")
                        found.callback(os.remove, conf)
                        subprocess.run(["ldconfig", "-X", "-C", cache],
                                       check=True)
                        os.chmod(cache, 0o644)
                        found.enter_context(mounted("/etc/ld.so.cache",
                                                    "--bind", cache))
                    net.servers.configure(both_working())
                    result = run(env=env)
                expect_equal((result.out, result.err, result.status),
                             (FULL_V4_TEXT + FULL_V6_TEXT, "", 0),
                             f"output, errors and status, found through {way}")
        finally:
            net.use_name_services("files dns")


def no_leak_found(err):
    return "No leaks found" in err and not re.search("fail", err, re.I)


def times_below_a_minute(err):
    """The times in mimalloc's statistics: the run's own, not what an
    unanswered getrusage() leaves."""
    times = [float(t) for t in re.findall(r"(\d+(?:\.\d+)?) s\b", err)]
    return bool(times) and max(times) < 60


@case
def libraries_preloaded_to_fake_the_clock_or_check_memory(net):
    if sanitized():
        raise Skip("sanitizer build: its runtime comes first, with its allocator")
    clock = os.path.join(net.dir, "faketime.rc")
    with open(clock, "w") as f:
        f.write("+400d\n")
    os.chmod(clock, 0o644)
    both = FULL_V4_TEXT + FULL_V6_TEXT
    # The library, its settings, and the run as without the confinement:
    # status, standard output, and what its standard error must show.
    tools = [
        # The time read from the file at each call: a year on, the test
        # certificates have expired.
        ("faketime/libfaketime.so.1",
         dict(FAKETIME_TIMESTAMP_FILE=clock, FAKETIME_NO_CACHE="1"), 1, "",
         lambda err: err == "Failed to retrieve any IP addresses.\n"),
        # gperftools' heap checker stops the threads at exit from a helper.
        ("libtcmalloc.so.4", dict(HEAPCHECK="normal"), 0, both, no_leak_found),
        ("libmimalloc.so.2", dict(MIMALLOC_SHOW_STATS="1"), 0, both,
         times_below_a_minute)]
    tools = [(glob.glob("/usr/lib/*/" + name), *rest)
             for name, *rest in tools]
    if not any(found for found, *_ in tools):
        raise Skip("neither libfaketime, libtcmalloc nor libmimalloc is installed")
    # libfaketime's files in /dev/shm stay in the suite's own.
    with mounted("/dev/shm", "-t", "tmpfs", "-o", "mode=1777", "tmpfs"):
        for found, settings, status, out, shows in tools:
            if not found:
                continue
            net.servers.configure(both_working())
            result = run(env=dict(os.environ, LD_PRELOAD=found[0], **settings))
            expect_equal((result.out, result.status), (out, status),
                         f"output and status with {found[0]}")
            expect(shows(result.err), f"{found[0]}: {result.err}")


# --- Options and output ----------------------------------------------------

@case
def help_and_conflict_do_no_network_work(net):
    for args in (("--help",), ("-h",), ("-4", "-6", "--help"), ("x", "--json", "-h")):
        net.servers.configure(both_working())
        expect_run(run(*args), 0, USAGE)
        expect_equal(net.servers.connections, [], f"connections for {args}")
    for args in (("-4", "-6"), ("-6", "--json", "-4")):
        net.servers.configure(both_working())
        expect_run(run(*args), 1, "", "Error: Cannot specify both -4 and -6\n")
        expect_equal(net.servers.connections, [], f"connections for {args}")


@case
def unwritable_output_fails(net):
    for args in (("--help",), (), ("--json",)):
        net.servers.configure(both_working())
        with open("/dev/full", "wb") as full:
            result = run(*args, stdout=full)
        expect_run(result, 1, "", "Error: Failed to write output.\n")
        # A closed standard output must not become a socket of the run.
        net.servers.configure(both_working())
        result = run(*args, stdout=subprocess.DEVNULL,
                     preexec_fn=lambda: os.close(1))
        expect_run(result, 1, "", "Error: Failed to write output.\n")


@case
def closed_pipe_ends_with_sigpipe(net):
    for args in (("--help",), ()):
        for _ in range(3):
            net.servers.configure(both_working())
            read_end, write_end = os.pipe()
            os.close(read_end)
            try:
                result = run(*args, stdout=write_end)
            finally:
                os.close(write_end)
            expect_equal(result.status, -signal.SIGPIPE, f"status for {args}")
    # As `ipwhere | head -n 1` while the IPv6 hosts never answer: the
    # reader goes after the IPv4 block, and the run ends then, not when
    # the IPv6 lookup gives up.
    net.servers.configure({V4_PRIMARY: Behaviour(FULL_V4),
                           V6_PRIMARY: Behaviour(mode="silent"),
                           V6_FALLBACK: Behaviour(mode="silent")})
    child = subprocess.Popen([BINARY], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        expect_equal(child.stdout.readline().decode(),
                     FULL_V4_TEXT.splitlines(True)[0], "first line")
        child.stdout.close()
        closed = time.monotonic()
        try:
            child.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        after = time.monotonic() - closed
        expect(after < 1, f"still running {after:.2f} s after the reader went")
        expect_equal((child.returncode, child.stderr.read()),
                     (-signal.SIGPIPE, b""), "status and errors")
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stderr.close()


@case
def thread_start_failure_is_a_failed_lookup(net):
    cgroup = "/sys/fs/cgroup/pids"
    if not os.path.isdir(cgroup):
        cgroup = "/sys/fs/cgroup"
    group = os.path.join(cgroup, "ipwhere-e2e-%d" % os.getpid())
    try:
        os.mkdir(group)
    except OSError as error:
        raise Skip(f"no pids cgroup: {error}")
    try:
        with open(os.path.join(group, "pids.max"), "w") as f:
            f.write("1\n")
    except OSError as error:
        os.rmdir(group)
        raise Skip(f"no pids controller: {error}")

    def confine():
        with open(os.path.join(group, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))

    try:
        for args, line in (((), "Failed to retrieve any IP addresses.\n"),
                           (("-4", "--json"), "Failed to retrieve IPv4 address.\n")):
            net.servers.configure(both_working())
            # LeakSanitizer needs a thread of its own to check at exit.
            env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0",
                       LSAN_OPTIONS="detect_leaks=0")
            expect_run(run(*args, preexec_fn=confine, env=env, timeout=15), 1, "", line)
            expect_equal(hosts_asked(net), [], "requests")
    finally:
        os.rmdir(group)


# --- Confinement -------------------------------------------------------------

# System call numbers for the probes that gdb makes a waiting run's threads
# call.
SYSCALLS = {"x86_64": dict(mmap=9, openat=257, execve=59, socket=41, bind=49,
                           connect=42, kill=62, socketpair=53, ioctl=16,
                           fchmodat=268, prlimit64=302, memfd_create=319,
                           listen=50, clone=56, setsid=112, read=0,
                           fcntl=72, msgget=68, inotify_init1=294,
                           file_setattr=469, recvmsg=47, write=1,
                           mremap=25, setsockopt=54),
            "aarch64": dict(mmap=222, openat=56, execve=221, socket=198,
                            bind=200, connect=203, kill=129, socketpair=199,
                            ioctl=29, fchmodat=53, prlimit64=261,
                            memfd_create=279, listen=201, clone=220,
                            setsid=157, read=63, fcntl=25, msgget=186,
                            inotify_init1=26, file_setattr=469, recvmsg=212,
                            write=64, mremap=216, setsockopt=208)}
EPERM, EACCES, EAFNOSUPPORT = 1, 13, 97
TIOCSTI = 0x5412

# Run by gdb's Python, after CONFIG = (numbers, blob, out, probes): in each
# thread, maps the blob of paths and addresses, makes each probe's system
# call and appends "THREAD NAME RESULT ERRNO" to `out`. Arguments that are
# strings are offsets into the blob ("m + 16"); bind, connect, listen and
# setsockopt take the arguments of socket() first, and report its failure
# if it fails.
GDB_PROBE = """
import gdb
numbers, blob, out, probes = CONFIG

def call(name, *args):
    text = ", ".join("(long) %d" % a for a in (numbers[name],) + args)
    return int(gdb.parse_and_eval("(long) syscall(%s)" % text))

for thread in sorted(gdb.selected_inferior().threads(), key=lambda t: t.num):
    thread.switch()
    m = call("mmap", 0, 65536, 3, 34, -1, 0)
    gdb.execute("restore %s binary %d" % (blob, m))
    for name, kind, args in probes:
        args = [eval(a, {"m": m}) if isinstance(a, str) else a for a in args]
        on_socket = kind in ("bind", "connect", "listen", "setsockopt")
        if on_socket:
            args[0] = call("socket", *args[0])
        result = args[0] if on_socket and args[0] < 0 else call(kind, *args)
        error = int(gdb.parse_and_eval("*(int *) __errno_location()"))
        with open(out, "a") as f:
            f.write("%d %s %d %d\\n" % (thread.num, name, result, error))
gdb.execute("kill")
"""


def memory_holds(pid, needle):
    """Whether a readable mapping of process `pid` holds `needle`."""
    with open(f"/proc/{pid}/maps") as maps, \
            open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for line in maps:
            span, permissions = line.split()[:2]
            if not permissions.startswith("r"):
                continue
            start, end = (int(x, 16) for x in span.split("-"))
            tail = b""
            # In pieces, overlapping by the needle's length.
            for at in range(start, end, 1 << 24):
                try:
                    mem.seek(at)
                    piece = tail + mem.read(min(1 << 24, end - at))
                except (OSError, OverflowError, ValueError):
                    break  # [vvar] and the like
                if needle in piece:
                    return True
                tail = piece[-len(needle):]
    return False


def landlock_abi():
    """The running kernel's Landlock ABI; 0 without Landlock."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    return max(0, libc.syscall(ctypes.c_long(444), None, ctypes.c_long(0),
                               ctypes.c_uint(1)))


def mdwe_available():
    """Whether the kernel refuses writable-and-executable memory on request
    (PR_GET_MDWE answers)."""
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.prctl(66, 0, 0, 0, 0) >= 0


# Preloaded into gdb on x86_64, never into the run: gdb's reads and writes of
# the XSAVE registers (NT_X86_XSTATE) fail as on a kernel without them, so
# gdb keeps to the FXSAVE ones. On a CPU with AMX the kernel takes only the
# whole XSAVE area, which gdb 13 does not write, and every call it makes in
# the process fails.
NO_XSTATE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ptrace.h>
#include <sys/types.h>

long ptrace(enum __ptrace_request request, ...) {
  va_list list;
  va_start(list, request);
  pid_t pid = va_arg(list, pid_t);
  void *address = va_arg(list, void *);
  void *data = va_arg(list, void *);
  va_end(list);
  /* The kernel reads the register set's type as an unsigned int. */
  if ((request == PTRACE_GETREGSET || request == PTRACE_SETREGSET) &&
      (unsigned int)(unsigned long)address == 0x202 /* NT_X86_XSTATE */) {
    errno = EIO;
    return -1;
  }
  long (*next)(enum __ptrace_request, ...) =
      (long (*)(enum __ptrace_request, ...))dlsym(RTLD_NEXT, "ptrace");
  return next(request, pid, address, data);
}
"""


def run_gdb(pid, directory, *commands):
    """gdb attached to process `pid` for `commands` (its options), offline
    and without the libraries' scripts; NO_XSTATE is built in `directory`."""
    env = dict(os.environ)
    if platform.machine() == "x86_64":
        library = os.path.join(directory, "no-xstate.so")
        if not os.path.exists(library):
            with open(library[:-3] + ".c", "w") as f:
                f.write(NO_XSTATE)
            subprocess.run(["cc", "-shared", "-fPIC", "-o", library,
                            library[:-3] + ".c", "-ldl"], check=True)
        env["LD_PRELOAD"] = library
    return subprocess.run(["gdb", "-nx", "-batch", "-iex",
                           "set auto-load python-scripts off", "-iex",
                           "set debuginfod enabled off", "-p", str(pid),
                           *commands], env=env, capture_output=True,
                          text=True, timeout=120)


def probe_with_gdb(pid, script, out, directory):
    """gdb runs the probe `script` in process `pid`. Where it wrote nothing
    to `out` and gdb cannot call a function in a sleeping `sleep` either,
    this host's gdb cannot probe, and the case skips."""
    probe = run_gdb(pid, directory, "-x", script)
    if os.path.exists(out):
        return probe
    plain = subprocess.Popen(["sleep", "60"])
    try:
        control = run_gdb(plain.pid, directory, "-ex", "print (long) getpid()")
    finally:
        plain.kill()
        plain.wait()
    if f"= {plain.pid}" not in control.stdout:
        raise Skip("gdb cannot call a function in a process here: " +
                   (control.stderr.strip().splitlines() or ["(no message)"])[-1])
    return probe


def sigpipe_blocked(pid):
    """Whether each thread of process `pid` blocks SIGPIPE, by thread id."""
    blocked = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/status") as f:
            mask = next(line for line in f if line.startswith("SigBlk:"))
        blocked[int(tid)] = bool(int(mask.split()[1], 16) >> (signal.SIGPIPE - 1) & 1)
    return blocked


def process_status(pid, *keys):
    """The named lines of /proc/PID/status, values with single spaces."""
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.rstrip("\n").split(":", 1) for line in f)
    return {key: " ".join(fields[key].split()) for key in keys}


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def controlling_terminal(terminal):
    def make():
        os.setsid()
        fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
    return make


NOBODY = 65534


@case
def every_thread_of_a_running_lookup_is_confined(net):
    abi = min(landlock_abi(), 6)
    if abi == 0:
        raise Skip("no Landlock in this kernel: the tool runs unconfined")
    if not confined_build():
        raise Skip("built with IPWHERE_CONFINEMENT off")
    numbers = SYSCALLS.get(platform.machine())
    if not numbers or not shutil.which("gdb"):
        raise Skip("needs gdb, on x86_64 or aarch64")
    # The test's own files: one only the confinement keeps from the run, one
    # owned by the user the run becomes, and a pathname UNIX socket.
    secret = os.path.join(net.dir, "secret")
    owned = os.path.join(net.dir, "owned")
    for path in (secret, owned):
        with open(path, "w") as f:
            f.write("secret")
        os.chmod(path, 0o644)
    os.chown(owned, NOBODY, NOBODY)
    unix_path = os.path.join(net.dir, "agent.sock")
    listeners = [socket.create_server(("127.0.0.1", port)) for port in (8443, 3128)]
    agent = socket.socket(socket.AF_UNIX)
    agent.bind(unix_path)
    agent.listen()
    os.chmod(unix_path, 0o777)
    listeners.append(agent)
    # A process of the user the run becomes, whose limits it must not touch.
    neighbour = subprocess.Popen(["sleep", "60"], preexec_fn=as_nobody)

    def inet(port):
        return struct.pack("=H", socket.AF_INET) + struct.pack(">H", port) + \
            bytes([127, 0, 0, 1]) + bytes(8)

    blob = bytearray(4096)
    for offset, data in ((0, secret.encode()),
                         (512, os.path.join(net.dir, "new").encode()),
                         (1024, b"/etc/hosts"), (1536, b"/bin/true"),
                         (2048, inet(0)), (2064, inet(8443)), (2080, inet(443)),
                         (2096, inet(3128)),
                         (2112, struct.pack("=H", socket.AF_UNIX) +
                          unix_path.encode()),
                         (2304, b"/etc/shadow"), (2560, owned.encode()),
                         (2816, system_ca_bundle().encode()), (3072, b"id\n"),
                         (3328, b"tls"), (3344, b"lo"),
                         (3360, b"/proc/self/fd/0")):
        blob[offset:offset + len(data)] = data
    blob_path = os.path.join(net.dir, "probe.bin")
    with open(blob_path, "wb") as f:
        f.write(blob)
    stream, inet4 = [2, 1, 0], [2, 1, 0]
    unix = [1 | 1 << 32, 1, 0]  # AF_UNIX with a high bit set
    mdwe = mdwe_available()
    # name, system call, arguments, when it is refused (None: it must work,
    # which shows that the probes themselves do; a number: from that
    # Landlock ABI on; True: always) and errno.
    probes = [("read_system_file", "openat", [-100, "m + 1024", 0], None, 0),
              ("read_ca_bundle", "openat", [-100, "m + 2816", 0], None, 0),
              ("connect_https", "connect", [inet4, "m + 2080", 16], None, 0),
              ("connect_proxy_port", "connect", [stream, "m + 2096", 16],
               None, 0),
              ("read_user_file", "openat", [-100, "m", 0], 1, EACCES),
              ("create_file", "openat", [-100, "m + 512", 0o101, 0o600], 1,
               EACCES),
              ("bind_tcp", "bind", [inet4, "m + 2048", 16], True, EPERM),
              ("connect_other_port", "connect", [inet4, "m + 2064", 16], 4,
               EACCES),
              ("signal_other_process", "kill", [os.getpid(), 0], 1, EPERM),
              ("connect_pathname_unix", "connect",
               [unix, "m + 2112", 2 + len(unix_path)], True, EAFNOSUPPORT),
              ("datagram_socketpair", "socketpair", [1, 2, 0, "m + 3584"],
               True, EPERM),
              ("push_into_terminal", "ioctl", [2, TIOCSTI, "m + 3072"], True,
               EPERM),
              ("push_into_terminal_high_bit", "ioctl",
               [2, TIOCSTI | 1 << 32, "m + 3072"], True, EPERM),
              ("read_shadow", "openat", [-100, "m + 2304", 0], True, EACCES),
              ("chmod_own_file", "fchmodat", [-100, "m + 2560", 0o777], True,
               EPERM),
              ("limits_of_neighbour", "prlimit64",
               [neighbour.pid, 7, 0, "m + 3600"], True, EPERM),
              ("map_writable_executable", "mmap", [0, 4096, 7, 34, -1, 0],
               True if mdwe else None, EACCES),
              ("memfd", "memfd_create", ["m + 3072", 0], True, EPERM),
              # A second view of executable memory: shared pages mapped
              # executable, or mapped again.
              ("map_shared_executable", "mmap", [0, 4096, 5, 0x21, -1, 0],
               True, EPERM),
              ("map_again", "mremap", ["m", 0, 4096, 1], True, EPERM),
              # Kernel TLS, the classic-BPF translator, binding to a device.
              ("kernel_tls", "setsockopt", [stream, 6, 31, "m + 3328", 3],
               True, EPERM),
              ("socket_filter", "setsockopt", [stream, 1, 26, "m + 3600", 16],
               True, EPERM),
              ("bind_to_device", "setsockopt", [stream, 1, 25, "m + 3344", 3],
               True, EPERM),
              # The user's pipe on standard input, opened again.
              ("reopen_standard_input", "openat", [-100, "m + 3360", 2], 1,
               EACCES),
              # Nothing that outlives the run, no reach into the terminal
              # or other processes, no call newer than the filter's list.
              ("listen_unbound", "listen", [inet4, 1], True, EPERM),
              ("fork", "clone", [17, 0, 0, 0, 0], True, EPERM),
              ("new_session", "setsid", [], True, EPERM),
              ("read_terminal", "read", [2, "m + 3600", 1], True, EPERM),
              ("read_standard_input", "read", [0, "m + 3600", 1], True, EPERM),
              ("write_terminal_input", "write", [0, "m + 3072", 3], True,
               EPERM),
              ("receive_descriptors", "recvmsg", [3, "m + 3600", 0], True,
               EPERM),
              ("terminal_settings", "ioctl", [2, 0x5402, "m + 3600"], True,
               EPERM),
              ("terminal_exclusive", "ioctl", [2, 0x540C], True, EPERM),
              ("terminal_non_blocking", "fcntl", [2, 4, 0o4000], True,
               EPERM),
              ("message_queue", "msgget", [0, 0o1600], True, EPERM),
              ("watch_files", "inotify_init1", [0], True, EPERM),
              ("file_setattr", "file_setattr", [-100, "m", 0, "m + 3600", 24],
               True, EPERM)]
    if not sanitized():  # sanitizer builds may run their symbolizer
        # Last: where it is let through, the process becomes /bin/true.
        probes.append(("run_program", "execve", ["m + 1536", 0, 0], True, EPERM))
    out = os.path.join(net.dir, "probes.txt")
    script = os.path.join(net.dir, "probe.py")
    with open(script, "w") as f:
        config = (numbers, blob_path, out, [p[:3] for p in probes])
        f.write(f"CONFIG = {config!r}\n" + GDB_PROBE)
    net.servers.configure({V4_PRIMARY: Behaviour(mode="silent"),
                           V6_PRIMARY: Behaviour(mode="silent")})
    # A proxy is named, and left unused for every host: its port is open,
    # others are not. A secret in the environment must not stay in memory.
    secret_token = os.urandom(16).hex()
    env = dict(os.environ, https_proxy="http://127.0.0.1:3128", no_proxy="*",
               GITHUB_TOKEN=secret_token)
    controller, terminal = os.openpty()
    # Standard input is a pipe of the user the run becomes, with a line not
    # yet read; standard error the terminal.
    typed, input_end = os.pipe()
    os.fchown(typed, NOBODY, NOBODY)
    os.write(input_end, b"typed\n")
    reader = os.dup(typed)
    child = subprocess.Popen([BINARY], stdin=typed, stdout=subprocess.DEVNULL,
                             stderr=terminal, env=env,
                             preexec_fn=controlling_terminal(terminal))
    os.close(terminal)
    os.close(typed)
    try:
        deadline = time.monotonic() + 10
        while len(net.servers.log()) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        expect_equal(sorted(hosts_asked(net)), [V4_PRIMARY, V6_PRIMARY],
                     "requests waiting")
        # The lookup threads block SIGPIPE, so a peer cannot end the run;
        # the main thread keeps the process's own disposition for the report.
        blocked = sigpipe_blocked(child.pid)
        expect(not blocked.pop(child.pid) and sum(blocked.values()) >= 2,
               f"SIGPIPE blocked in the lookup threads only: {blocked}")
        # Started as root, the run goes on as nobody, with no capabilities.
        expect_equal(process_status(child.pid, "Uid", "Gid", "Groups", "CapInh",
                                    "CapPrm", "CapEff", "CapBnd", "CapAmb",
                                    "NoNewPrivs", "Seccomp"),
                     {"Uid": "65534 65534 65534 65534",
                      "Gid": "65534 65534 65534 65534", "Groups": "",
                      **{cap: "0000000000000000" for cap in
                         ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")},
                      "NoNewPrivs": "1", "Seccomp": "2"}, "process status")
        # Sanitizer runtimes reserve terabytes of shadow memory.
        if not sanitized():
            expect(not memory_holds(child.pid, secret_token.encode()),
                   "the environment's secret is in the run's memory")
        gdb = probe_with_gdb(child.pid, script, out, net.dir)
    finally:
        child.kill()
        child.wait()
        neighbour.kill()
        neighbour.wait()
        for listener in listeners:
            listener.close()
    # Nothing was taken from standard input, nor pushed into the terminal's.
    os.set_blocking(reader, False)
    try:
        expect_equal(os.read(reader, 4096), b"typed\n", "standard input")
    finally:
        os.close(reader)
        os.close(input_end)
    os.set_blocking(controller, False)
    try:
        pushed = os.read(controller, 4096)
    except OSError:
        pushed = b""
    os.close(controller)
    expect_equal(pushed, b"", "terminal input")
    seen = {}
    if os.path.exists(out):
        with open(out) as f:
            for line in f:
                thread, name, result, error = line.split()
                seen.setdefault(thread, {})[name] = (int(result) >= 0, int(error))
    for thread, outcomes in seen.items():
        for name, _, _, refused, error in probes:
            actual = outcomes.get(name)
            if refused is None or (refused is not True and abi < refused):
                expect(actual is not None and actual[0],
                       f"thread {thread}: {name} should work: {actual}")
            else:
                expect_equal(actual, (False, error), f"thread {thread}: {name}")
    expect(len(seen) >= 3, f"threads probed: {len(seen)}, expected the main "
                           f"thread and two lookups\n{gdb.stdout}{gdb.stderr}")
    print(f"  {len(seen)} threads, {len(probes)} probes each, ABI {abi}")


# --- JSON report -----------------------------------------------------------

FULL_V4_JSON = {"asn": 64500, "aso": "Example Net", "cc": "GB", "city": "London",
                "continent": "EU", "country": "United Kingdom",
                "hostname": "host4.example", "ip": "192.0.2.1",
                "latitude": 51.50740051269531, "longitude": -0.12780000269412994,
                "postal": "EC1A", "tz": "Europe/London", "weather": "UKXX0085"}


@case
def json_report_both_families(net):
    net.servers.configure(both_working())
    result = run("--json")
    expect_equal(result.status, 0, "exit status")
    expect_equal(result.err, "", "standard error")
    expect(result.out.startswith("{\n  \"ipv4\": {\n    \"asn\": 64500,\n"
                                 "    \"aso\": \"Example Net\",\n"), result.out)
    expect(result.out.endswith("\n  }\n}\n"), "ends with one newline")
    parsed = json.loads(result.out)
    expect_equal(sorted(parsed), ["ipv4", "ipv6"], "families")
    expect_equal(parsed["ipv4"], FULL_V4_JSON, "IPv4 object")
    # Python's sorted, indented dump has the same layout and number forms.
    expect_equal(result.out, json.dumps(parsed, indent=2, sort_keys=True,
                                        ensure_ascii=False) + "\n", "layout")


@case
def json_report_single_family(net):
    for args, key, body in ((("-4", "--json"), "ipv4", FULL_V4),
                            (("--json", "-6"), "ipv6", FULL_V6)):
        net.servers.configure(both_working())
        result = run(*args)
        expect_equal((result.status, result.err), (0, ""), "status and errors")
        expect_equal(list(json.loads(result.out)), [key], "families")
    net.servers.configure({V4_PRIMARY: down(), V4_FALLBACK: down(),
                           V6_PRIMARY: Behaviour(document(
                               "2001:db8::5", city="Z\u00fcrich", cc="CH",
                               latitude=1, longitude=1e39, asn=-1))})
    expect_run(run("--json"), 0,
               "{\n  \"ipv6\": {\n    \"asn\": -1,\n    \"cc\": \"CH\",\n"
               "    \"city\": \"Z\u00fcrich\",\n    \"ip\": \"2001:db8::5\",\n"
               "    \"latitude\": 1.0,\n    \"longitude\": null\n  }\n}\n")


def need_valgrind():
    if sanitized():
        raise Skip("sanitizer build")
    if not shutil.which("valgrind"):
        raise Skip("valgrind is not installed")


@case
def memcheck_of_both_reports(net):
    need_valgrind()
    for args, expected in (((), FULL_V4_TEXT + FULL_V6_TEXT), (("--json",), None)):
        net.servers.configure(both_working())
        result = run_memcheck(*args)
        expect_equal(result.err, "", f"valgrind report for {args}")
        expect_equal(result.status, 0, "exit status")
        if expected is not None:
            expect_equal(result.out, expected, "standard output")
        else:
            expect_equal(sorted(json.loads(result.out)), ["ipv4", "ipv6"], "families")


@case
def traced_by_strace(net):
    # Confined as ever, and with the same output as without the tracer.
    if sanitized():
        raise Skip("sanitizer build: its leak checker cannot trace a traced run")
    if not shutil.which("strace"):
        raise Skip("strace is not installed")
    trace = os.path.join(net.dir, "strace.out")
    for args, out in (((), FULL_V4_TEXT + FULL_V6_TEXT),
                      (("-6", "--json"), expected_json(ipv6=SAMPLE_IPV6))):
        net.servers.configure(both_working())
        expect_run(run(*args, wrapper=["strace", "-f", "-qq", "-o", trace]), 0,
                   out)
        with open(trace) as f:
            confined = "seccomp(SECCOMP_SET_MODE_FILTER" in f.read()
        expect(confined or not confined_build(), "the traced run was confined")


@case
def valgrind_tools_as_root(net):
    # Under valgrind the run stays as it started: as nobody, callgrind could
    # not write its profile where root asked nor either tool remove its vgdb
    # FIFOs from /tmp, and valgrind knows neither Landlock's calls nor
    # seccomp filters.
    need_valgrind()
    profile = os.path.join(net.dir, "callgrind.out")
    left = []
    try:
        for tool, options in (("callgrind", ["--callgrind-out-file=" + profile]),
                              ("memcheck", [])):
            net.servers.configure(both_working())
            child = subprocess.Popen(["valgrind", "--tool=" + tool, *options,
                                      BINARY, "-4"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
            out, err = child.communicate(timeout=120)
            tmp = os.environ.get("TMPDIR", "/tmp")
            left += glob.glob(os.path.join(tmp, f"vgdb-pipe-*-{child.pid}-*"))
            expect_equal((out, child.returncode), (FULL_V4_TEXT, 0),
                         f"{tool}: output and status")
            expect(not re.search(r"unhandled \S+ syscall", err), f"{tool}: {err}")
            expect_equal(left, [], f"{tool}: files left in {tmp}")
        expect(os.path.getsize(profile) > 0, "callgrind wrote an empty profile")
    finally:
        for path in left:
            os.remove(path)


@case
def coverage_counters_are_written(net):
    # At exit a --coverage build writes its counters to the files named in
    # it, below GCOV_PREFIX: as root and as another user, each into a
    # folder it may write to.
    if not coverage_build():
        raise Skip("not a --coverage build")
    # The names are absolute paths below the build folder; bytes before
    # one in the binary need not be a string's end.
    folder = os.path.dirname(os.path.abspath(BINARY))
    build = b"(?:%s|%s)" % (re.escape(folder.encode()),
                            re.escape(os.path.realpath(folder).encode()))
    with open(BINARY, "rb") as f:
        counters = sorted(set(re.findall(build + rb"/[^\0]*\.gcda(?=\0)", f.read())))
    expect(counters, "names of counter files in the binary")
    for who, preexec in (("root", None), ("nobody", as_nobody)):
        prefix = os.path.join(net.dir, "counters-" + who)
        os.mkdir(prefix, 0o755)
        if preexec:
            os.chown(prefix, NOBODY, NOBODY)
        net.servers.configure(both_working())
        result = run(env=dict(os.environ, GCOV_PREFIX=prefix),
                     preexec_fn=preexec)
        expect_equal((result.out, result.status), (FULL_V4_TEXT + FULL_V6_TEXT, 0),
                     f"output and status as {who}")
        missing = [os.path.basename(path).decode() for path in counters
                   if not os.path.isfile(prefix.encode() + path)]
        expect_equal(missing, [], f"counter files not written as {who} "
                                  f"{result.err.splitlines()[:1]}")


def memcheck_available():
    return not sanitized() and shutil.which("valgrind")


def run_memcheck(*args):
    """run() under valgrind; definite leaks and memory errors are reported
    on standard error and give status 99. valgrind 3.19 does not know
    Landlock's system calls (the run goes on unconfined there) and says so
    in "--pid--" notes, which are dropped; its errors are "==pid==" lines."""
    start = time.monotonic()
    completed = subprocess.run(
        ["valgrind", "--quiet", "--vgdb=no", "--error-exitcode=99", "--leak-check=full",
         "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
         BINARY, *args], capture_output=True, timeout=120)
    completed.stderr = re.sub(rb"(?m)^--\d+-- .*\n", b"", completed.stderr)
    return Result(completed, start)


def start_slow_cases(cases):
    """Starts each case in a process of its own, in a namespace of its own."""
    env = {k: v for k, v in os.environ.items() if k != NAMESPACE_MARK}
    return [subprocess.Popen([sys.executable, os.path.abspath(__file__), BINARY,
                              function.__name__], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            for function in cases]


def collect_slow_cases(children):
    """Prints the children's reports; their passed, failed, skipped counts."""
    counts = [0, 0, 0]
    for child in children:
        lines = child.communicate()[0].splitlines() or [""]
        print("\n".join(lines[:-1]), flush=True)
        words = lines[-1].replace(",", "").split()
        if child.returncode not in (0, 1) or len(words) != 6:
            print(f"{child.args[-1]}: FAILED (exit status {child.returncode})")
            counts[1] += 1
            continue
        for i in range(3):
            counts[i] += int(words[2 * i])
    return counts


# --- Interoperability: nginx, HTTP/2 and TLS 1.3 --------------------------

@contextlib.contextmanager
def nginx_serving(net, sites, protocols="TLSv1.3"):
    """nginx answers for every service host while the block runs."""
    if not shutil.which("nginx"):
        raise Skip("nginx is not installed")
    net.map_hosts({V4_PRIMARY: NGINX_V4, V4_FALLBACK: NGINX_V4,
                   V6_PRIMARY: NGINX_V6, V6_FALLBACK: NGINX_V6})
    try:
        with Nginx(net.certs, sites, (NGINX_V4, NGINX_V6),
                   protocols) as nginx:
            yield nginx
    finally:
        net.map_hosts({})


def single(value):
    """A number as the single-precision value ipwhere keeps, widened."""
    return struct.unpack("f", struct.pack("f", value))[0]


def expected_json(**families):
    document = {family: {k: single(v) if isinstance(v, float) else v
                         for k, v in sample.items()}
                for family, sample in families.items()}
    return json.dumps(document, indent=2, sort_keys=True,
                      ensure_ascii=False) + "\n"


def expect_http2_requests(nginx, expected):
    """expected: (host, status) per request, in any order."""
    requests = nginx.requests()
    expect_equal(sorted((r[0], r[4]) for r in requests),
                 sorted((host, str(status)) for host, status in expected),
                 "requests served")
    for host, line, protocol, agent, _ in requests:
        expect_equal((line, protocol, agent),
                     ("GET /json HTTP/2.0", "HTTP/2.0", "ipwhereagent/1.0"),
                     f"request to {host}")


@case
def http2_both_families_text_and_json(net):
    sites = {V4_PRIMARY: Site(FULL_V4), V6_PRIMARY: Site(FULL_V6)}
    with nginx_serving(net, sites) as nginx:
        expect_run(run(), 0, FULL_V4_TEXT + FULL_V6_TEXT)
        expect_run(run("--json"), 0,
                   expected_json(ipv4=SAMPLE_IPV4, ipv6=SAMPLE_IPV6))
        expect_http2_requests(nginx, [(V4_PRIMARY, 200), (V6_PRIMARY, 200)] * 2)


@case
def http2_fallback_after_503(net):
    sites = {V4_PRIMARY: Site("down", status=503), V4_FALLBACK: Site(FULL_V4),
             V6_PRIMARY: Site("down", status=503), V6_FALLBACK: Site(FULL_V6)}
    with nginx_serving(net, sites) as nginx:
        expect_run(run("-4"), 0, FULL_V4_TEXT)
        expect_run(run("-6", "--json"), 0, expected_json(ipv6=SAMPLE_IPV6))
        expect_http2_requests(nginx, [(V4_PRIMARY, 503), (V4_FALLBACK, 200),
                                      (V6_PRIMARY, 503), (V6_FALLBACK, 200)])


@case
def openssl_configuration_applies_to_both_lookups(net):
    # Each lookup of a run on both families loads the system's OpenSSL
    # configuration (here from OPENSSL_CONF) into a context of its own: a
    # minimum protocol above the server's, or algorithms asked only of a
    # provider that is not there, fail the run as they fail it on OpenSSL's
    # default context.
    libraries = subprocess.run(["ldd", BINARY], capture_output=True,
                               text=True).stdout
    if "libssl.so.3" not in libraries:
        raise Skip("libcurl does not run on OpenSSL 3 here")
    path = "/etc/ssl/ipwhere-test.cnf"  # readable once the run is confined
    sites = {V4_PRIMARY: Site(FULL_V4), V6_PRIMARY: Site(FULL_V6)}
    try:
        with nginx_serving(net, sites, "TLSv1.2"):
            for minimum, properties, works in (("TLSv1.2", "", True),
                                               ("TLSv1.3", "", False),
                                               ("TLSv1.2", "fips=yes", False)):
                with open(path, "w") as f:
                    f.write("openssl_conf = init\n[init]\nssl_conf = ssl\n"
                            "alg_section = algorithms\n"
                            "[ssl]\nsystem_default = tls\n"
                            f"[tls]\nMinProtocol = {minimum}\n"
                            f"[algorithms]\ndefault_properties = {properties}\n")
                result = run(env={**os.environ, "OPENSSL_CONF": path})
                expect_equal(
                    (result.out, result.err, result.status),
                    (FULL_V4_TEXT + FULL_V6_TEXT, "", 0) if works else
                    ("", "Failed to retrieve any IP addresses.\n", 1),
                    f"output, errors and status with MinProtocol {minimum}, "
                    f"default_properties {properties!r}")
    finally:
        if os.path.exists(path):
            os.remove(path)


def main():
    net = Network()
    selected = sys.argv[2:]
    chosen = [f for f in CASES if not selected or f.__name__ in selected]
    children = []
    if len(chosen) > 1:
        slow = [f for f in chosen if getattr(f, "slow", False)]
        children = start_slow_cases(slow)
        chosen = [f for f in chosen if f not in slow]
    passed = failed = skipped = 0
    for function in chosen:
        start = time.monotonic()
        try:
            function(net)
            outcome = "ok"
            passed += 1
        except Skip as reason:
            outcome = f"skipped ({reason})"
            skipped += 1
        except Exception:  # report every failure and go on
            outcome = "FAILED\n" + traceback.format_exc()
            failed += 1
        print(f"{function.__name__}: {outcome} "
              f"({time.monotonic() - start:.2f} s)", flush=True)
    more = collect_slow_cases(children)
    passed, failed, skipped = passed + more[0], failed + more[1], skipped + more[2]
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not passed else 0


class Skip(Exception):
    pass


# CTest's SKIP_RETURN_CODE for this suite.
SKIP_STATUS = 77


def why_it_cannot_run():
    """Why the suite cannot run on this machine, or None."""
    if not sys.platform.startswith("linux"):
        return "needs Linux network and mount namespaces"
    if os.geteuid() != 0:
        return "needs root, for network and mount namespaces"
    if os.environ.get(NAMESPACE_MARK) == "1":
        return None
    try:
        trial = subprocess.run(["unshare", "--net", "--mount", "true"],
                               capture_output=True, text=True)
    except OSError as error:
        return f"cannot run unshare: {error}"
    if trial.returncode != 0:
        return "cannot make network and mount namespaces: " + trial.stderr.strip()
    return None


if __name__ == "__main__":
    if BINARY is None:
        sys.exit(__doc__)
    reason = why_it_cannot_run()
    if reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP_STATUS)
    sys.exit(main())
