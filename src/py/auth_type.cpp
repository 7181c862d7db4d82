// vornex.Auth: where a Vault's identity comes from. A plain value, made only
// by its class methods; nothing is read until a vault is opened with it,
// except a file-like invitation, read at once.
#include <string>

#include "vornex/frontend/runtime.hpp"
#include "vornex_py/boundary.hpp"
#include "vornex_py/convert.hpp"
#include "vornex_py/docs.hpp"
#include "vornex_py/exceptions.hpp"
#include "vornex_py/types.hpp"

namespace vornex::py {

namespace {

constexpr const char* kMaterialMessage = "expected a string or file-like object";
// How many read() results are followed: an object whose read() returns
// itself must not recurse for ever.
constexpr int kMaxReadNesting = 8;

struct AuthObject {
  PyObject ob_base;
  frontend::AuthInner* inner;
};

PyObject* allocate(PyTypeObject* type, frontend::AuthInner inner) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<AuthObject*>(self)->inner = new frontend::AuthInner(std::move(inner));
  return self;
}

void auth_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<AuthObject*>(self)->inner;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// None (or absent) or a str.
bool optional_text(PyObject* object, const char* function, const char* name, std::optional<std::string>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyUnicode_Check(object)) {
    argument_type_error(function, name, "str or None", object);
    return false;
  }
  auto text = text_of(object);
  if (!text) {
    if (PyErr_Occurred() == nullptr) argument_text_error(function, name, "str or None");
    return false;
  }
  // Copied, then wiped: a moved short text would leave its characters in
  // the source's inline buffer.
  out = *text;
  core::secure_wipe(text->data(), text->size());
  return true;
}

// Invitation material from text, bytes, or what read() gives.
std::optional<frontend::InviteSource> material_from_py(PyObject* object) {
  Py_INCREF(object);
  for (int depth = 0; depth <= kMaxReadNesting; ++depth) {
    std::optional<frontend::InviteSource> source;
    if (PyUnicode_Check(object)) {
      auto text = text_of(object);
      Py_DECREF(object);
      // An error pending, or text with a lone surrogate: no invitation text.
      if (!text) break;
      // Copied, then wiped, as for the passphrase.
      source = frontend::invite_source::Text{frontend::SecretText(*text)};
      core::secure_wipe(text->data(), text->size());
      return source;
    }
    if (auto bytes = byte_string_of(object)) {
      source = frontend::invite_source::Bytes{frontend::SecretText(
          std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()))};
      core::secure_wipe(bytes->data(), bytes->size());
    } else if (PyErr_Occurred() != nullptr) {
      Py_DECREF(object);
      return std::nullopt;
    }
    if (source) {
      Py_DECREF(object);
      return source;
    }
    PyObject* next = PyObject_CallMethod(object, "read", nullptr);
    Py_DECREF(object);
    if (next == nullptr) {
      // Only ordinary failures become the material error: an interrupt or
      // an exit request goes on as it is.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
      PyErr_Clear();
      break;
    }
    object = next;
    if (depth == kMaxReadNesting) Py_DECREF(object);
  }
  if (PyErr_Occurred() == nullptr) raise_error(ErrorClass::VornexError, kMaterialMessage);
  return std::nullopt;
}

PyObject* from_keychain(PyObject* cls, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"user", "passphrase", nullptr};
    PyObject* user = nullptr;
    PyObject* passphrase = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$O:from_keychain", const_cast<char**>(keywords), &user,
                                     &passphrase)) {
      return nullptr;
    }
    frontend::auth::Keychain keychain;
    std::optional<std::string> secret;
    if (!optional_text(user, "from_keychain", "user", keychain.user) ||
        !optional_text(passphrase, "from_keychain", "passphrase", secret)) {
      return nullptr;
    }
    if (secret) {
      keychain.passphrase.emplace(*secret);
      core::secure_wipe(secret->data(), secret->size());
    }
    return allocate(reinterpret_cast<PyTypeObject*>(cls), std::move(keychain));
  });
}

PyObject* from_invite(PyObject* cls, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"invite", nullptr};
    PyObject* invite = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:from_invite", const_cast<char**>(keywords), &invite)) {
      return nullptr;
    }
    auto source = material_from_py(invite);
    if (!source) return nullptr;
    return allocate(reinterpret_cast<PyTypeObject*>(cls), frontend::auth::Invite{std::move(*source)});
  });
}

PyObject* from_env(PyObject* cls, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"invite", "invite_file", nullptr};
    PyObject* invite = nullptr;
    PyObject* invite_file = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OO:from_env", const_cast<char**>(keywords), &invite,
                                     &invite_file)) {
      return nullptr;
    }
    // Checked here rather than by the format, so the error names the argument.
    if (invite != nullptr && !PyUnicode_Check(invite)) {
      return argument_type_error("from_env", "invite", "str", invite);
    }
    if (invite_file != nullptr && !PyUnicode_Check(invite_file)) {
      return argument_type_error("from_env", "invite_file", "str", invite_file);
    }
    frontend::auth::Env env{std::string(frontend::kInviteEnv), std::string(frontend::kInviteFileEnv)};
    if (invite != nullptr) {
      auto text = text_of(invite);
      if (!text) return PyErr_Occurred() ? nullptr : argument_text_error("from_env", "invite", "str");
      env.invite_var = std::move(*text);
    }
    if (invite_file != nullptr) {
      auto text = text_of(invite_file);
      if (!text) return PyErr_Occurred() ? nullptr : argument_text_error("from_env", "invite_file", "str");
      env.invite_file_var = std::move(*text);
    }
    return allocate(reinterpret_cast<PyTypeObject*>(cls), std::move(env));
  });
}

PyObject* auth_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const frontend::AuthInner& inner = *reinterpret_cast<AuthObject*>(self)->inner;
    // Never the user, passphrase, variable names or invitation.
    const char* text = std::holds_alternative<frontend::auth::Keychain>(inner) ? "Auth.from_keychain(...)"
                       : std::holds_alternative<frontend::auth::Invite>(inner) ? "Auth.from_invite(...)"
                                                                                 : "Auth.from_env(...)";
    return new_str(text);
  });
}

PyMethodDef g_methods[] = {
    {"from_keychain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_keychain)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, docs::kFromKeychain},
    {"from_invite", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_invite)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, docs::kFromInvite},
    {"from_env", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_env)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, docs::kFromEnv},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kAuth)},
    {Py_tp_dealloc, reinterpret_cast<void*>(auth_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(auth_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// No constructor: instances come from the class methods only, and calling
// the class raises the interpreter's "cannot create" error.
PyType_Spec g_spec = {"vornex.Auth", sizeof(AuthObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots};

PyObject* g_type = nullptr;

}  // namespace

PyObject* auth_type() {
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&g_spec);
    if (g_type == nullptr) throw InternalFailure("Failed to initialize the Auth type.");
  }
  return g_type;
}

const frontend::AuthInner* auth_of(PyObject* object) {
  // The real type, not what __class__ claims: the object is read as an
  // Auth's memory below.
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(auth_type()))) return nullptr;
  return reinterpret_cast<AuthObject*>(object)->inner;
}

}  // namespace vornex::py
