// libcrypto's exit-time cleanup watched, for tests only. Preloaded into a
// child process, this file stands in for OPENSSL_cleanup, which libcrypto
// registers as an exit handler when a part of the process other than ours
// started it (Python's hashlib, say): the stand-in notes that the cleanup
// has begun (and says so on standard error, so that a test knows the probe
// was in place), waits long enough for any thread still calling in to
// arrive, then runs the real one. It stands in too for the libcrypto functions our
// code calls: one entered by another thread once the cleanup has begun
// (when it would meet freed tables) ends the process at once, with status
// kEnteredDuringCleanup and a message on standard error.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#define VX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kEnteredDuringCleanup = 99;
// Threads the cleanup would race are running right now; this long is
// plenty for one that is not kept out to come in.
constexpr long kWaitMillis = 300;

std::atomic<bool> g_cleaning{false};
std::atomic<pthread_t> g_cleaner{};

// libcrypto is opened by whoever uses it, often privately (a Python
// extension module): the definitions after ours are looked up in it by name.
void* real(const char* name) {
  static void* const library = dlopen("libcrypto.so.3", RTLD_NOLOAD | RTLD_LAZY);
  return library == nullptr ? nullptr : dlsym(library, name);
}

void say(const char* text) {
  const ssize_t ignored = write(2, text, std::strlen(text));
  (void)ignored;
}

void entering(const char* name) {
  if (!g_cleaning.load() || pthread_equal(g_cleaner.load(), pthread_self())) return;
  say("exit probe: ");
  say(name);
  say(" entered while libcrypto was being cleaned up\n");
  _exit(kEnteredDuringCleanup);
}

template <class Function>
Function* next(const char* name) {
  return reinterpret_cast<Function*>(real(name));
}

}  // namespace

VX_EXPORT void OPENSSL_cleanup(void) {
  g_cleaner.store(pthread_self());
  g_cleaning.store(true);
  say("exit probe: cleanup began\n");
  const timespec wait{0, kWaitMillis * 1'000'000};
  nanosleep(&wait, nullptr);
  static auto* const cleanup = next<void()>("OPENSSL_cleanup");
  if (cleanup != nullptr) cleanup();
}

// Each stand-in checks, then forwards to libcrypto's own.
#define VX_STAND_IN(Ret, name, params, args)                          \
  VX_EXPORT Ret name params {                                         \
    entering(#name);                                                  \
    static auto* const forward = next<Ret params>(#name);             \
    return forward args;                                              \
  }

VX_STAND_IN(EVP_MD*, EVP_MD_fetch, (OSSL_LIB_CTX * c, const char* a, const char* p), (c, a, p))
VX_STAND_IN(void, EVP_MD_free, (EVP_MD * md), (md))
VX_STAND_IN(EVP_MD_CTX*, EVP_MD_CTX_new, (void), ())
VX_STAND_IN(void, EVP_MD_CTX_free, (EVP_MD_CTX * ctx), (ctx))
VX_STAND_IN(int, EVP_DigestInit_ex2, (EVP_MD_CTX * ctx, const EVP_MD* md, const OSSL_PARAM* p), (ctx, md, p))
VX_STAND_IN(int, EVP_DigestUpdate, (EVP_MD_CTX * ctx, const void* d, size_t n), (ctx, d, n))
VX_STAND_IN(int, EVP_DigestFinal_ex, (EVP_MD_CTX * ctx, unsigned char* md, unsigned int* n), (ctx, md, n))
VX_STAND_IN(EVP_MAC*, EVP_MAC_fetch, (OSSL_LIB_CTX * c, const char* a, const char* p), (c, a, p))
VX_STAND_IN(void, EVP_MAC_free, (EVP_MAC * mac), (mac))
VX_STAND_IN(EVP_MAC_CTX*, EVP_MAC_CTX_new, (EVP_MAC * mac), (mac))
VX_STAND_IN(void, EVP_MAC_CTX_free, (EVP_MAC_CTX * ctx), (ctx))
VX_STAND_IN(int, EVP_MAC_init, (EVP_MAC_CTX * ctx, const unsigned char* k, size_t n, const OSSL_PARAM* p),
            (ctx, k, n, p))
VX_STAND_IN(int, EVP_MAC_update, (EVP_MAC_CTX * ctx, const unsigned char* d, size_t n), (ctx, d, n))
VX_STAND_IN(int, EVP_MAC_final, (EVP_MAC_CTX * ctx, unsigned char* out, size_t* n, size_t size), (ctx, out, n, size))
VX_STAND_IN(EVP_KDF*, EVP_KDF_fetch, (OSSL_LIB_CTX * c, const char* a, const char* p), (c, a, p))
VX_STAND_IN(void, EVP_KDF_free, (EVP_KDF * kdf), (kdf))
VX_STAND_IN(void, ERR_clear_error, (void), ())
VX_STAND_IN(EVP_KDF_CTX*, EVP_KDF_CTX_new, (EVP_KDF * kdf), (kdf))
VX_STAND_IN(void, EVP_KDF_CTX_free, (EVP_KDF_CTX * ctx), (ctx))
VX_STAND_IN(int, EVP_KDF_derive, (EVP_KDF_CTX * ctx, unsigned char* out, size_t n, const OSSL_PARAM* p),
            (ctx, out, n, p))
