// vornex.Selector: a secret's path segments and labels, fixed at creation.
#include <map>
#include <string>
#include <vector>

#include "cord/text.hpp"
#include "vornex/frontend/selector.hpp"
#include "vornex_py/boundary.hpp"
#include "vornex_py/convert.hpp"
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

// The strings of a sequence that is not itself a str; none otherwise.
std::optional<std::vector<std::string>> strings_of(PyObject* sequence) {
  if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) return std::nullopt;
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return std::nullopt;
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_GetItem(sequence, i);
    std::optional<std::string> text;
    if (item != nullptr && PyUnicode_Check(item)) text = text_of(item);
    Py_XDECREF(item);
    if (!text) return std::nullopt;
    out.push_back(cord::text::to_nfc(*text));
  }
  return out;
}

// Name to value, both str, in name order; none otherwise.
std::optional<std::map<std::string, std::string>> labels_of(PyObject* dict, bool& repeated) {
  if (!PyDict_Check(dict)) return std::nullopt;
  std::map<std::string, std::string> out;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) return std::nullopt;
    auto k = text_of(key);
    auto v = text_of(value);
    if (!k || !v) return std::nullopt;
    // Two spellings of one name are one name once normalised.
    if (!out.try_emplace(cord::text::to_nfc(*k), cord::text::to_nfc(*v)).second) repeated = true;
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
    if (!segments) {
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      return argument_type_error("Selector", "path", "a sequence of str", path);
    }
    bool repeated = false;
    std::map<std::string, std::string> names;
    if (labels != Py_None) {
      auto given = labels_of(labels, repeated);
      if (!given) {
        if (PyErr_Occurred()) return nullptr;
        return argument_type_error("Selector", "labels", "a dict of str to str", labels);
      }
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
    if (repeated) {
      raise_error(ErrorClass::VornexError, frontend::kSelectorDuplicateKey);
      return nullptr;
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
    {"path", get_path, nullptr, nullptr, nullptr},
    {"labels", get_labels, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Selector(path, labels=None)\n--\n\n")},
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
  if (PyUnicode_Check(object)) {
    auto text = text_of(object);
    if (!text) return std::nullopt;
    auto named = frontend::named_selector(*text);
    if (!named) {
      raise(named.error());
      return std::nullopt;
    }
    return std::move(*named);
  }
  // The real type, not what __class__ claims: the object is read as a
  // Selector's memory below.
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(selector_type()))) {
    raise_error(ErrorClass::VornexError, kTypeMessage);
    return std::nullopt;
  }
  return frontend::named_selector(data(object));
}

}  // namespace vornex::py
