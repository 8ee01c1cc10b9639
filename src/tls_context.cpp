#include "tls_context.hpp"

#ifdef IPWHERE_OPENSSL
#include <curl/curl.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstdlib>
#include <cstring>
#endif

namespace ipwhere {

#ifdef IPWHERE_OPENSSL

namespace {

// Whether libcurl does its TLS with OpenSSL 3 or later, whose library
// contexts it then uses: its TLS library reads "OpenSSL/3.0.19", say.
bool libcurl_on_openssl3() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info == nullptr || info->ssl_version == nullptr) return false;
  const char prefix[] = "OpenSSL/";
  if (std::strncmp(info->ssl_version, prefix, sizeof prefix - 1) != 0)
    return false;
  return std::strtol(info->ssl_version + sizeof prefix - 1, nullptr, 10) >= 3;
}

}  // namespace

TlsContext TlsContext::for_libcurl() {
  TlsContext made;
  if (!libcurl_on_openssl3()) return made;
  made.context_.reset(OSSL_LIB_CTX_new());
  if (!made.context_) return made;
  // The file OpenSSL's own start-up loads into the default context (no
  // name: the one CONF_get1_default_config_file() gives, which honours
  // OPENSSL_CONF as it does), and as it does, a missing file is no
  // configuration rather than a failure; OSSL_LIB_CTX_load_config() would
  // refuse one. Unlike at start-up, a module that fails counts: the
  // default context, set up the same way, then serves instead of a
  // context that took only part of the file.
  ERR_set_mark();
  if (CONF_modules_load_file_ex(made.context_.get(), nullptr, nullptr,
                                CONF_MFLAGS_IGNORE_MISSING_FILE) <= 0)
    made.context_.reset();
  // Its errors concern no request; the thread's queue stays as it was.
  ERR_pop_to_mark();
  return made;
}

void TlsContext::Free::operator()(ossl_lib_ctx_st* context) const noexcept {
  OSSL_LIB_CTX_free(context);
}

TlsContext::Use::Use(const TlsContext& context) noexcept {
  // The previous default is returned; none (null) when nothing changed.
  if (context.context_)
    previous_ = OSSL_LIB_CTX_set0_default(context.context_.get());
}

TlsContext::Use::~Use() {
  if (previous_ != nullptr) OSSL_LIB_CTX_set0_default(previous_);
}

const void* TlsContext::in_use() noexcept {
  // Given none, it only says which.
  return OSSL_LIB_CTX_set0_default(nullptr);
}

#else  // no libcrypto: the lookups share the default context

TlsContext TlsContext::for_libcurl() { return {}; }

void TlsContext::Free::operator()(ossl_lib_ctx_st* /*context*/) const noexcept {
}

TlsContext::Use::Use(const TlsContext& /*context*/) noexcept {}

TlsContext::Use::~Use() { static_cast<void>(previous_); }

const void* TlsContext::in_use() noexcept { return nullptr; }

#endif

}  // namespace ipwhere
