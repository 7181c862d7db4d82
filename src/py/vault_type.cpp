// vornex.Vault: one open, unlocked vault session behind a mutex. The
// constructor converts its arguments and reads what the opening needs of the
// process, then opens without the interpreter lock (reads, recovery,
// validation, key derivation, a passphrase prompt); every data method
// converts its arguments, releases the interpreter lock, runs one operation
// under the mutex, and builds its result once the interpreter lock is back.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/vault.hpp"
#include "vornex/store/fork.hpp"
#include "vornex/store/interrupt.hpp"
#include "vornex_py/boundary.hpp"
#include "vornex_py/convert.hpp"
#include "vornex_py/docs.hpp"
#include "vornex_py/exceptions.hpp"
#include "vornex_py/types.hpp"

namespace vornex::py {

namespace {

constexpr const char* kPoisoned = "Vornex vault session lock is poisoned";
constexpr const char* kValueMessage = "secret value must be str or bytes";
constexpr const char* kSecretNotUtf8 = "secret is not valid UTF-8";
constexpr const char* kFieldNotUtf8 = "field value is not valid UTF-8";

// Never destroyed: threads still inside a call at exit may use it. Made as
// the module loads, so that no fork can catch it half made.
const crypto::Crypto& g_provider = *new crypto::Crypto;
const crypto::Crypto& provider() { return g_provider; }

struct VaultState {
  explicit VaultState(ops::UnlockedSession s) : session(std::move(s)) {}
  std::mutex mutex;
  bool poisoned = false;  // an internal failure unwound while the mutex was held
  ops::UnlockedSession session;
  // Data methods running. Atomic: a thread ended at finalisation unwinds
  // through its borrow without the interpreter lock.
  std::atomic<int> borrows{0};
  // Links of the list of live states (below).
  VaultState* previous = nullptr;
  VaultState* next = nullptr;
};

// Every live VaultState, so that a fork can take their mutexes first: a
// child made while another thread held one would wait for it for ever.
// Taking them makes a fork wait for the operations in progress, writes
// included, so the child sees each vault as one of them left it. An
// operation never waits for the interpreter lock or for a person while it
// holds its mutex, so the wait ends. Lock order: the list, then the states
// in list order, then the store's locks.
std::mutex g_live_mutex;
VaultState* g_live = nullptr;

void link(VaultState* state) {
  const std::lock_guard lock(g_live_mutex);
  state->next = g_live;
  if (g_live != nullptr) g_live->previous = state;
  g_live = state;
}

void unlink(VaultState* state) {
  const std::lock_guard lock(g_live_mutex);
  if (state->previous != nullptr) state->previous->next = state->next;
  if (state->next != nullptr) state->next->previous = state->previous;
  if (g_live == state) g_live = state->next;
}

// The borrows this thread holds: in a child, the only ones that still mean
// anything.
thread_local std::vector<const VaultState*> t_borrowed;

void before_fork() {
  g_live_mutex.lock();
  for (VaultState* state = g_live; state != nullptr; state = state->next) state->mutex.lock();
  store::before_fork();
}

void after_fork_in_parent() {
  store::after_fork_in_parent();
  for (VaultState* state = g_live; state != nullptr; state = state->next) state->mutex.unlock();
  g_live_mutex.unlock();
}

void after_fork_in_child() {
  store::after_fork_in_child();
  for (VaultState* state = g_live; state != nullptr; state = state->next) {
    state->borrows.store(static_cast<int>(std::ranges::count(t_borrowed, state)));
    state->mutex.unlock();
  }
  g_live_mutex.unlock();
}

struct VaultObject {
  PyObject ob_base;
  VaultState* state;
};

VaultState& state_of(PyObject* self) { return *reinterpret_cast<VaultObject*>(self)->state; }

// A data method's shared borrow of the object, for the whole call,
// taken as soon as its arguments are bound (before they are converted).
class Borrow {
 public:
  explicit Borrow(VaultState& state) : state_(state) {
    t_borrowed.push_back(&state_);
    state_.borrows.fetch_add(1);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    state_.borrows.fetch_sub(1);
    t_borrowed.pop_back();
  }

 private:
  VaultState& state_;
};

// Runs `op` on the session without the interpreter lock and under the
// mutex. None, with a Python error set, when the mutex is poisoned or an
// internal failure unwound (which poisons it).
template <class Op>
auto locked(VaultState& state, Op&& op) -> std::optional<decltype(op(state.session))> {
  std::optional<decltype(op(state.session))> result;
  bool was_poisoned = false;
  FailureNote failure;
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock lock(state.mutex);
    if (state.poisoned) {
      was_poisoned = true;
    } else {
      try {
        result.emplace(op(state.session));
      } catch (const std::exception& e) {
        state.poisoned = true;
        failure.note(e.what());
      } catch (...) {
        state.poisoned = true;
        if (forced_unwind_in_flight()) throw;  // the thread is being ended mid-operation
        failure.note("unknown internal failure");
      }
    }
  }
  Py_END_ALLOW_THREADS
  if (was_poisoned) raise_error(ErrorClass::VornexError, kPoisoned);
  if (failure) raise_internal_failure(failure.text());
  return result;
}

// `as_bytes`: exactly a bool; false with a TypeError naming it otherwise.
bool parse_flag(const char* function, PyObject* object, bool& out) {
  if (object == nullptr) return true;
  if (!PyBool_Check(object)) {
    argument_type_error(function, "as_bytes", "bool", object);
    return false;
  }
  out = object == Py_True;
  return true;
}

PyObject* value_object(cord::ByteView bytes, bool as_bytes, const char* not_utf8) {
  return as_bytes ? new_bytes(bytes) : new_str_from_utf8(bytes, not_utf8);
}

// A value to store: the UTF-8 of a str, or a byte string. Our copy is wiped
// when dropped; none, with the error raised, for any other object.
std::optional<core::SecretBytes> value_of(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 != nullptr) {
      return core::SecretBytes(
          cord::ByteView(reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)));
    }
    // Text with a lone surrogate has no UTF-8: a value of the wrong kind.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    raise_error(ErrorClass::VornexError, kValueMessage);
    return std::nullopt;
  }
  auto bytes = byte_string_of(value);
  if (!bytes) {
    if (PyErr_Occurred() == nullptr) raise_error(ErrorClass::VornexError, kValueMessage);
    return std::nullopt;
  }
  core::SecretBytes out(*bytes);
  core::secure_wipe(bytes->data(), bytes->size());
  return out;
}

// A field name: exactly a str; none with a TypeError naming it otherwise.
std::optional<std::string> key_of(const char* function, PyObject* key) {
  if (!PyUnicode_Check(key)) {
    argument_type_error(function, "key", "str", key);
    return std::nullopt;
  }
  auto text = text_of(key);
  if (!text && PyErr_Occurred() == nullptr) argument_text_error(function, "key", "str");
  return text;
}

// Runs a write on the session and gives None, or raises what it failed with.
template <class Op>
PyObject* write_returning_none(VaultState& state, Op&& op) {
  auto result = locked(state, std::forward<Op>(op));
  if (!result) return nullptr;
  if (!*result) return raise(result->error());
  Py_RETURN_NONE;
}

PyObject* vault_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", "auth", nullptr};
    PyObject* path = nullptr;
    PyObject* auth = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$O:Vault", const_cast<char**>(keywords), &path, &auth)) {
      return nullptr;
    }
    std::string where(frontend::kDefaultVaultDir);
    if (path != nullptr) {
      if (!PyUnicode_Check(path)) return argument_type_error("Vault", "path", "str", path);
      auto text = text_of(path);
      if (!text) return PyErr_Occurred() ? nullptr : argument_text_error("Vault", "path", "str");
      where = std::move(*text);
    }
    frontend::AuthInner inner = frontend::auth::Keychain{};
    if (auth != Py_None) {
      const frontend::AuthInner* given = auth_of(auth);
      if (given == nullptr) return argument_type_error("Vault", "auth", "Auth or None", auth);
      inner = *given;
    }
    auto facts = frontend::read_opening_facts(where, inner);
    if (!facts) return raise(facts.error());
    // Ctrl-C ends the opening between its long steps and at the prompt.
    // Set up here, where no other thread changes the SIGINT disposition; an
    // interrupt that came just before is the interpreter's to raise now.
    const store::InterruptWatch watch;
    if (PyErr_CheckSignals() < 0) return nullptr;
    auto opened = without_interpreter_lock([&] { return frontend::open_vault(*facts, inner, provider()); });
    if (!opened) return nullptr;
    if (!*opened) {
      // An interrupt runs the interpreter's handler here on the main thread;
      // on another thread, or when the handler raised nothing, the front
      // end's answer is KeyboardInterrupt.
      if (PyErr_CheckSignals() < 0) return nullptr;
      return raise(opened->error());
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* state = new VaultState(std::move(**opened));
    link(state);
    reinterpret_cast<VaultObject*>(self)->state = state;
    return self;
  });
}

void vault_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  VaultState* state = reinterpret_cast<VaultObject*>(self)->state;
  unlink(state);
  delete state;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyObject* vault_get(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "as_bytes", nullptr};
    PyObject* selector = nullptr;
    PyObject* flag = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:get", const_cast<char**>(keywords), &selector, &flag)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    bool as_bytes = false;
    if (!parse_flag("get", flag, as_bytes)) return nullptr;
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    auto result = locked(state, [&](ops::UnlockedSession& s) { return frontend::vault_get(s, provider(), *named); });
    if (!result) return nullptr;
    if (!*result) return raise(result->error());
    return value_object((*result)->primary(), as_bytes, kSecretNotUtf8);
  });
}

PyObject* vault_set(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "value", nullptr};
    PyObject* selector = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:set", const_cast<char**>(keywords), &selector, &value)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    auto bytes = value_of(value);
    if (!bytes) return nullptr;
    return write_returning_none(
        state, [&](ops::UnlockedSession& s) { return frontend::vault_set(s, provider(), *named, bytes->view()); });
  });
}

PyObject* vault_delete(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", nullptr};
    PyObject* selector = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:delete", const_cast<char**>(keywords), &selector)) return nullptr;
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    return write_returning_none(
        state, [&](ops::UnlockedSession& s) { return frontend::vault_delete(s, provider(), *named); });
  });
}

PyObject* vault_fields(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "as_bytes", nullptr};
    PyObject* selector = nullptr;
    PyObject* flag = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:fields", const_cast<char**>(keywords), &selector, &flag)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    bool as_bytes = false;
    if (!parse_flag("fields", flag, as_bytes)) return nullptr;
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    auto result = locked(state, [&](ops::UnlockedSession& s) { return frontend::vault_get(s, provider(), *named); });
    if (!result) return nullptr;
    if (!*result) return raise(result->error());
    PyObject* dict = PyDict_New();
    for (const ops::SecretField& field : (*result)->fields()) {
      if (dict == nullptr) break;
      PyObject* key = new_str(field.name);
      PyObject* value = key != nullptr ? value_object(field.value, as_bytes, kFieldNotUtf8) : nullptr;
      if (value == nullptr || PyDict_SetItem(dict, key, value) < 0) Py_CLEAR(dict);
      Py_XDECREF(key);
      Py_XDECREF(value);
    }
    return dict;
  });
}

PyObject* vault_get_field(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "key", "as_bytes", nullptr};
    PyObject* selector = nullptr;
    PyObject* key = nullptr;
    PyObject* flag = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$O:get_field", const_cast<char**>(keywords), &selector, &key,
                                     &flag)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    auto name = key_of("get_field", key);
    if (!name) return nullptr;
    bool as_bytes = false;
    if (!parse_flag("get_field", flag, as_bytes)) return nullptr;
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    auto result = locked(state, [&](ops::UnlockedSession& s) -> frontend::Raised<cord::Bytes> {
      auto plaintext = frontend::vault_get(s, provider(), *named);
      if (!plaintext) return std::unexpected(plaintext.error());
      return frontend::field_of(*plaintext, *named, *name);
    });
    if (!result) return nullptr;
    if (!*result) return raise(result->error());
    PyObject* out = value_object(**result, as_bytes, kFieldNotUtf8);
    core::secure_wipe((*result)->data(), (*result)->size());
    return out;
  });
}

PyObject* vault_set_field(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "key", "value", nullptr};
    PyObject* selector = nullptr;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:set_field", const_cast<char**>(keywords), &selector, &key,
                                     &value)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    auto name = key_of("set_field", key);
    if (!name) return nullptr;
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    auto bytes = value_of(value);
    if (!bytes) return nullptr;
    return write_returning_none(state, [&](ops::UnlockedSession& s) {
      return frontend::vault_set_field(s, provider(), *named, *name, bytes->view());
    });
  });
}

PyObject* vault_delete_field(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", "key", nullptr};
    PyObject* selector = nullptr;
    PyObject* key = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:delete_field", const_cast<char**>(keywords), &selector, &key)) {
      return nullptr;
    }
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    auto name = key_of("delete_field", key);
    if (!name) return nullptr;
    auto named = selector_from_py(selector);
    if (!named) return nullptr;
    return write_returning_none(
        state, [&](ops::UnlockedSession& s) { return frontend::vault_delete_field(s, provider(), *named, *name); });
  });
}

PyObject* vault_list(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"selector", nullptr};
    PyObject* selector = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:list", const_cast<char**>(keywords), &selector)) return nullptr;
    VaultState& state = state_of(self);
    const Borrow borrow(state);
    std::optional<core::SecretSelectorV1> filter;
    if (selector != Py_None) {
      auto named = selector_from_py(selector);
      if (!named) return nullptr;
      filter = std::move(named->selector);
    }
    auto result = locked(state, [&](ops::UnlockedSession& s) { return frontend::vault_list(s, filter); });
    if (!result) return nullptr;
    PyObject* list = PyList_New(0);
    for (const core::SecretSelectorV1& found : *result) {
      if (list == nullptr) break;
      PyObject* item = new_selector(found);
      if (item == nullptr || PyList_Append(list, item) < 0) Py_CLEAR(list);
      Py_XDECREF(item);
    }
    return list;
  });
}

PyObject* vault_enter(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // Taking the object exclusively while a data method holds it fails,
    // as a borrow of a borrowed object does.
    if (state_of(self).borrows.load() > 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return nullptr;
    }
    Py_INCREF(self);
    return self;
  });
}

PyObject* vault_exit(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
    PyObject* ignored[3] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:__exit__", const_cast<char**>(keywords), &ignored[0],
                                     &ignored[1], &ignored[2])) {
      return nullptr;
    }
    Py_RETURN_FALSE;
  });
}

template <class F>
PyCFunction method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"get", method(vault_get), METH_VARARGS | METH_KEYWORDS, docs::kGet},
    {"set", method(vault_set), METH_VARARGS | METH_KEYWORDS, docs::kSet},
    {"delete", method(vault_delete), METH_VARARGS | METH_KEYWORDS, docs::kDelete},
    {"fields", method(vault_fields), METH_VARARGS | METH_KEYWORDS, docs::kFields},
    {"get_field", method(vault_get_field), METH_VARARGS | METH_KEYWORDS, docs::kGetField},
    {"set_field", method(vault_set_field), METH_VARARGS | METH_KEYWORDS, docs::kSetField},
    {"delete_field", method(vault_delete_field), METH_VARARGS | METH_KEYWORDS, docs::kDeleteField},
    {"list", method(vault_list), METH_VARARGS | METH_KEYWORDS, docs::kList},
    {"__enter__", method(vault_enter), METH_NOARGS, docs::kEnter},
    {"__exit__", method(vault_exit), METH_VARARGS | METH_KEYWORDS, docs::kExit},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kVault)},
    {Py_tp_new, reinterpret_cast<void*>(vault_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vault_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {"vornex.Vault", sizeof(VaultObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

PyObject* g_type = nullptr;

}  // namespace

PyObject* vault_type() {
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&g_spec);
    if (g_type == nullptr) throw InternalFailure("Failed to initialize the Vault type.");
    // Once per process, with the type. Every fork, os.fork or another
    // library's, passes these handlers.
    if (::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
      throw InternalFailure("Failed to register the fork handlers.");
    }
  }
  return g_type;
}

}  // namespace vornex::py
