// An OpenSSL library context for one lookup thread.
//
// OpenSSL 3.0 keeps its method store, decoders and name map in a library
// context behind read-write locks, and decoding one certificate of the CA
// bundle takes them hundreds of times. Two threads that load the bundle at
// once on the shared default context bounce those lock words between
// cores, and each load takes two to three times as long. On a context of
// its own each thread takes only its own locks.
#ifndef IPWHERE_TLS_CONTEXT_HPP_
#define IPWHERE_TLS_CONTEXT_HPP_

#include <memory>

// OpenSSL's OSSL_LIB_CTX, so that this header needs no OpenSSL headers.
struct ossl_lib_ctx_st;

namespace ipwhere {

class TlsContext {
 public:
  // None: OpenSSL calls use the process's default context, as ever.
  TlsContext() = default;

  // Where libcurl runs on OpenSSL 3: a new context with the configuration
  // file that OpenSSL loaded into the default one (OPENSSL_CONF, else
  // openssl.cnf in its directory; none when there is no such file), so
  // that the same protocol versions, ciphers and providers apply. None
  // where libcurl runs on another TLS library, the build has no libcrypto
  // of OpenSSL 3, or OpenSSL refuses (out of memory, a configuration that
  // fails to load or may not be read now): the default context then
  // serves, configured as it was. Makes no lookup and starts no thread;
  // call it while no other thread of the process uses OpenSSL, since
  // OpenSSL 3.0 keeps part of a loaded configuration in process-wide state
  // that loading replaces.
  static TlsContext for_libcurl();

  TlsContext(TlsContext&& other) noexcept = default;
  TlsContext& operator=(TlsContext&& other) noexcept = default;
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  // Frees the context; no thread may be using it any more.
  ~TlsContext() = default;

  explicit operator bool() const { return static_cast<bool>(context_); }

  // For as long as it lives, the OpenSSL calls of the thread that made it
  // (libcurl's among them) use the context it was given, if that holds
  // one; then the thread's previous default again.
  class Use {
   public:
    explicit Use(const TlsContext& context) noexcept;
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    Use(Use&&) = delete;
    Use& operator=(Use&&) = delete;

   private:
    ossl_lib_ctx_st* previous_ = nullptr;
  };

  // The context that the calling thread's OpenSSL calls use, to tell
  // contexts apart; null in a build without libcrypto.
  static const void* in_use() noexcept;

 private:
  struct Free {
    void operator()(ossl_lib_ctx_st* context) const noexcept;
  };
  std::unique_ptr<ossl_lib_ctx_st, Free> context_;
};

}  // namespace ipwhere

#endif  // IPWHERE_TLS_CONTEXT_HPP_
