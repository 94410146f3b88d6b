// libcurl is opened on the first request instead of at start-up. Linked directly it brings some
// thirty libraries (TLS, Kerberos, LDAP, …) whose loading costs every run about 10 ms, while most
// runs never go online. The functions below carry curl's own names and forward to the library;
// the rest of the code calls curl as usual.
#include "http/curl_library.h"

// curl.h turns these two calls into type-checking macros, which would rewrite their definitions.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>
#include <mutex>

namespace qm::http {
namespace {

#ifdef __APPLE__
constexpr const char* kLibraryName = "libcurl.4.dylib";
#else
constexpr const char* kLibraryName = "libcurl.so.4";
#endif

struct Api {
  CURLcode (*global_init)(long) = nullptr;
  CURL* (*easy_init)() = nullptr;
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easy_perform)(CURL*) = nullptr;
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*easy_cleanup)(CURL*) = nullptr;
  const char* (*easy_strerror)(CURLcode) = nullptr;
  curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
  void (*slist_free_all)(curl_slist*) = nullptr;
  void (*free)(void*) = nullptr;
  CURLU* (*url)() = nullptr;
  void (*url_cleanup)(CURLU*) = nullptr;
  decltype(&::curl_url_get) url_get = nullptr;
  CURLUcode (*url_set)(CURLU*, CURLUPart, const char*, unsigned int) = nullptr;
  std::string error;  // empty when every function was found
};

template <typename F>
bool bind(void* library, const char* name, F& slot, std::string& error) {
  slot = reinterpret_cast<F>(dlsym(library, name));
  if (!slot && error.empty()) error = std::string(kLibraryName) + " has no " + name;
  return slot != nullptr;
}

const Api& api() {
  static Api a;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      const char* why = dlerror();
      a.error = std::string("cannot load ") + kLibraryName + (why ? std::string(": ") + why : std::string());
      return;
    }
    bind(library, "curl_global_init", a.global_init, a.error);
    bind(library, "curl_easy_init", a.easy_init, a.error);
    bind(library, "curl_easy_setopt", a.easy_setopt, a.error);
    bind(library, "curl_easy_perform", a.easy_perform, a.error);
    bind(library, "curl_easy_getinfo", a.easy_getinfo, a.error);
    bind(library, "curl_easy_cleanup", a.easy_cleanup, a.error);
    bind(library, "curl_easy_strerror", a.easy_strerror, a.error);
    bind(library, "curl_slist_append", a.slist_append, a.error);
    bind(library, "curl_slist_free_all", a.slist_free_all, a.error);
    bind(library, "curl_free", a.free, a.error);
    bind(library, "curl_url", a.url, a.error);
    bind(library, "curl_url_cleanup", a.url_cleanup, a.error);
    bind(library, "curl_url_get", a.url_get, a.error);
    bind(library, "curl_url_set", a.url_set, a.error);
  });
  return a;
}

bool ready() { return api().error.empty(); }

}  // namespace

std::optional<std::string> curl_unavailable() {
  const Api& a = api();
  if (a.error.empty()) return std::nullopt;
  return a.error;
}

}  // namespace qm::http

using qm::http::api;
using qm::http::ready;

extern "C" {

CURLcode curl_global_init(long flags) { return ready() ? api().global_init(flags) : CURLE_FAILED_INIT; }

CURL* curl_easy_init() { return ready() ? api().easy_init() : nullptr; }

// The option number tells the type of its one argument, as curl itself reads it.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (!ready()) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, option);
  CURLcode rc;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    rc = api().easy_setopt(handle, option, va_arg(args, long));
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    rc = api().easy_setopt(handle, option, va_arg(args, void*));
  } else if (option < CURLOPTTYPE_OFF_T) {
    rc = api().easy_setopt(handle, option, va_arg(args, void (*)()));
  } else if (option < CURLOPTTYPE_BLOB) {
    rc = api().easy_setopt(handle, option, va_arg(args, curl_off_t));
  } else {
    rc = api().easy_setopt(handle, option, va_arg(args, void*));
  }
  va_end(args);
  return rc;
}

CURLcode curl_easy_perform(CURL* handle) { return ready() ? api().easy_perform(handle) : CURLE_FAILED_INIT; }

// Every piece of information is read through a pointer.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  if (!ready()) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, info);
  CURLcode rc = api().easy_getinfo(handle, info, va_arg(args, void*));
  va_end(args);
  return rc;
}

void curl_easy_cleanup(CURL* handle) {
  if (ready()) api().easy_cleanup(handle);
}

const char* curl_easy_strerror(CURLcode code) {
  return ready() ? api().easy_strerror(code) : "HTTP library unavailable";
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  return ready() ? api().slist_append(list, text) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
  if (ready()) api().slist_free_all(list);
}

void curl_free(void* p) {
  if (ready()) api().free(p);
}

CURLU* curl_url() { return ready() ? api().url() : nullptr; }

void curl_url_cleanup(CURLU* url) {
  if (ready()) api().url_cleanup(url);
}

CURLUcode curl_url_get(CURLU* url, CURLUPart part, char** out, unsigned int flags) {
  return ready() ? api().url_get(url, part, out, flags) : CURLUE_OUT_OF_MEMORY;
}

CURLUcode curl_url_set(CURLU* url, CURLUPart part, const char* text, unsigned int flags) {
  return ready() ? api().url_set(url, part, text, flags) : CURLUE_OUT_OF_MEMORY;
}

}  // extern "C"
