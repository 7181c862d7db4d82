// The Python boundary inside an embedded interpreter: a C++ exception that
// escapes a call becomes the internal-failure class, and the module's error
// classes are created once.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "vornex_py/boundary.hpp"
#include "vornex_py/exceptions.hpp"

namespace {

using vornex::py::ErrorClass;

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_Initialize(); }
  void TearDown() override { Py_Finalize(); }
};

// The pending exception's type and text; clears it.
std::pair<PyObject*, std::string> take_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::string text;
  if (value != nullptr) {
    PyObject* str = PyObject_Str(value);
    Py_ssize_t size = 0;
    const char* utf8 = str != nullptr ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
    if (utf8 != nullptr) text.assign(utf8, static_cast<std::size_t>(size));
    Py_XDECREF(str);
  }
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  Py_XDECREF(type);  // the class itself lives for the process
  return {type, text};
}

TEST(Boundary, PassesResultThrough) {
  EXPECT_EQ(vornex::py::guarded(-1, [] { return 7; }), 7);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(Boundary, EscapedExceptionBecomesInternalFailure) {
  struct Case {
    const char* name;
    void (*thrower)();
    std::string text;
  };
  const Case cases[] = {
      {"std exception", [] { throw std::runtime_error("store went away"); }, "store went away"},
      {"internal failure", [] { throw vornex::py::InternalFailure("Failed to initialize new exception type."); },
       "Failed to initialize new exception type."},
      {"non-standard", [] { throw 42; }, "unknown internal failure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int result = vornex::py::guarded(-1, [&] {
      c.thrower();
      return 0;
    });
    EXPECT_EQ(result, -1);
    auto [type, text] = take_error();
    EXPECT_EQ(type, vornex::py::internal_failure_class());
    EXPECT_EQ(text, c.text);
  }
  PyObject* cls = vornex::py::internal_failure_class();
  EXPECT_EQ(PyObject_IsSubclass(cls, PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(cls, PyExc_Exception), 0);
  EXPECT_EQ(PyObject_IsSubclass(cls, vornex::py::error_class(ErrorClass::VornexError)), 0);
}

TEST(Boundary, ErrorClassesAreCreatedOnceAndRaiseWithTheirText) {
  for (const ErrorClass which : vornex::py::kErrorClasses) {
    PyObject* first = vornex::py::error_class(which);
    EXPECT_EQ(first, vornex::py::error_class(which));
    vornex::py::raise_error(which, "secret is missing");
    auto [type, text] = take_error();
    EXPECT_EQ(type, first);
    EXPECT_EQ(text, "secret is missing");
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Interpreter);
  return RUN_ALL_TESTS();
}
