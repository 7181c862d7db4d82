// vornex.Selector: a secret's path segments and labels, fixed at creation.
#include <map>
#include <string>
#include <vector>

#include "vornex/frontend/selector.hpp"
#include "vornex_py/boundary.hpp"
#include "vornex_py/convert.hpp"
#include "vornex_py/docs.hpp"
#include "vornex_py/exceptions.hpp"
#include "vornex_py/types.hpp"

namespace vornex::py {

namespace {

constexpr const char* kPathMessage = "selector path must contain at least one non-empty segment";
constexpr const char* kLabelsMessage = "selector label names and values must be non-empty";
constexpr const char* kTypeMessage = "expected a selector string or Selector";

struct SelectorObject {
  PyObject ob_base;
  core::SecretSelectorV1* selector;
};

const core::SecretSelectorV1& data(PyObject* self) { return *reinterpret_cast<SelectorObject*>(self)->selector; }

PyObject* allocate(PyTypeObject* type, core::SecretSelectorV1 selector) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<SelectorObject*>(self)->selector = new core::SecretSelectorV1(std::move(selector));
  return self;
}

constexpr const char* kPathWanted = "a sequence of str";
constexpr const char* kLabelsWanted = "a dict of str to str";

// The strings of a sequence that is not itself a str, as given (the
// operations normalise); none with a Python error set otherwise: a TypeError
// naming `path`, or the interrupt or exit request met reading it.
std::optional<std::vector<std::string>> strings_of(PyObject* sequence) {
  const auto wrong_kind = [&] {
    argument_type_error("Selector", "path", kPathWanted, sequence);
    return std::nullopt;
  };
  if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) return wrong_kind();
  const Py_ssize_t size = PySequence_Size(sequence);
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; size >= 0 && i < size; ++i) {
    PyObject* item = PySequence_GetItem(sequence, i);
    if (item == nullptr) break;
    std::optional<std::string> text;
    const bool is_text = PyUnicode_Check(item);
    if (is_text) text = text_of(item);
    Py_DECREF(item);
    if (!is_text) return wrong_kind();
    if (!text) {
      if (PyErr_Occurred() == nullptr) argument_text_error("Selector", "path", kPathWanted);
      return std::nullopt;
    }
    out.push_back(std::move(*text));
  }
  if (PyErr_Occurred() == nullptr) return out;
  // A sequence that cannot say its length or give its items is not one, as
  // for values: only an interrupt or an exit request goes on as it is.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
  PyErr_Clear();
  return wrong_kind();
}

// Name to value, both str as given, in name order; none with a Python
// error (a TypeError naming `labels`) otherwise.
std::optional<std::map<std::string, std::string>> labels_of(PyObject* dict) {
  if (!PyDict_Check(dict)) {
    argument_type_error("Selector", "labels", kLabelsWanted, dict);
    return std::nullopt;
  }
  std::map<std::string, std::string> out;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Reading a str runs no Python code, so the borrowed entries stay valid.
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
      argument_type_error("Selector", "labels", kLabelsWanted, dict);
      return std::nullopt;
    }
    auto k = text_of(key);
    std::optional<std::string> v;
    if (k) v = text_of(value);  // never a second conversion with an error pending
    if (!k || !v) {
      if (PyErr_Occurred() == nullptr) argument_text_error("Selector", "labels", kLabelsWanted);
      return std::nullopt;
    }
    // Distinct str keys have distinct UTF-8, so no name comes twice.
    out.emplace(std::move(*k), std::move(*v));
  }
  return out;
}

PyObject* selector_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", "labels", nullptr};
    PyObject* path = nullptr;
    PyObject* labels = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:Selector", const_cast<char**>(keywords), &path, &labels)) {
      return nullptr;
    }
    auto segments = strings_of(path);
    if (!segments) return nullptr;
    std::map<std::string, std::string> names;
    if (labels != Py_None) {
      auto given = labels_of(labels);
      if (!given) return nullptr;
      names = std::move(*given);
    }
    if (segments->empty() || std::ranges::any_of(*segments, [](const std::string& s) { return s.empty(); })) {
      raise_error(ErrorClass::VornexError, kPathMessage);
      return nullptr;
    }
    core::SecretSelectorV1 selector{std::move(*segments), {}};
    for (auto& [name, value] : names) {
      if (name.empty() || value.empty()) {
        raise_error(ErrorClass::VornexError, kLabelsMessage);
        return nullptr;
      }
      selector.labels.push_back(core::SecretLabelV1{name, value});
    }
    return allocate(type, std::move(selector));
  });
}

void selector_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SelectorObject*>(self)->selector;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyObject* selector_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return new_str(frontend::selector_string(data(self))); });
}

PyObject* selector_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const core::SecretSelectorV1& s = data(self);
    std::string text = "Selector([";
    for (std::size_t i = 0; i < s.tuple.size(); ++i) text += (i ? ", " : "") + frontend::quoted_form(s.tuple[i]);
    text += "]";
    if (!s.labels.empty()) {
      text += ", labels={";
      for (std::size_t i = 0; i < s.labels.size(); ++i) {
        text += (i ? ", " : "") + frontend::quoted_form(s.labels[i].key) + ": " +
                frontend::quoted_form(s.labels[i].value);
      }
      text += "}";
    }
    return new_str(text + ")");
  });
}

PyObject* get_path(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& segments = data(self).tuple;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(segments.size()));
    for (std::size_t i = 0; tuple != nullptr && i < segments.size(); ++i) {
      PyObject* item = new_str(segments[i]);
      if (item == nullptr) {
        Py_CLEAR(tuple);
        break;
      }
      PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
  });
}

PyObject* get_labels(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* dict = PyDict_New();
    for (const core::SecretLabelV1& label : data(self).labels) {
      if (dict == nullptr) break;
      PyObject* key = new_str(label.key);
      PyObject* value = key != nullptr ? new_str(label.value) : nullptr;
      if (value == nullptr || PyDict_SetItem(dict, key, value) < 0) Py_CLEAR(dict);
      Py_XDECREF(key);
      Py_XDECREF(value);
    }
    return dict;
  });
}

PyGetSetDef g_getset[] = {
    {"path", get_path, nullptr, docs::kSelectorPath, nullptr},
    {"labels", get_labels, nullptr, docs::kSelectorLabels, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kSelector)},
    {Py_tp_new, reinterpret_cast<void*>(selector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(selector_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(selector_str)},
    {Py_tp_repr, reinterpret_cast<void*>(selector_repr)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {"vornex.Selector", sizeof(SelectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      g_slots};

PyObject* g_type = nullptr;

}  // namespace

PyObject* selector_type() {
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&g_spec);
    if (g_type == nullptr) throw InternalFailure("Failed to initialize the Selector type.");
  }
  return g_type;
}

PyObject* new_selector(const core::SecretSelectorV1& selector) {
  return allocate(reinterpret_cast<PyTypeObject*>(selector_type()), selector);
}

std::optional<frontend::NamedSelector> selector_from_py(PyObject* object) {
  std::optional<frontend::Raised<frontend::NamedSelector>> named;
  if (PyUnicode_Check(object)) {
    // Text with a lone surrogate is no selector text.
    if (auto text = text_of(object)) named = frontend::named_selector(*text);
  } else if (PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(selector_type()))) {
    // The real type, not what __class__ claims: the object is read as a
    // Selector's memory.
    named = frontend::named_selector(data(object));
  }
  if (!named) {
    if (PyErr_Occurred() == nullptr) raise_error(ErrorClass::VornexError, kTypeMessage);
    return std::nullopt;
  }
  if (!*named) {
    raise(named->error());
    return std::nullopt;
  }
  return std::move(**named);
}

}  // namespace vornex::py
