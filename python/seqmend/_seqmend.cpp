// The binding of libseqmend for Python: one call per repair over the memory API.
//
// A small file is repaired in a few microseconds, so whatever a call does while it holds the
// GIL decides how well threads repair at once. repair() and restore_line_ends() are therefore
// written on Python's C API directly (pybind11's dispatch alone holds the GIL for about as
// long as the rest of a call): the arguments are read, the repair and the rendering of its
// lines run with the GIL released, and the package's Repair and Finding objects are filled in
// through their slots without running any Python code.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "seqmend.h"

namespace py = pybind11;

namespace {

struct ContextFree {
  void operator()(seqmend_context* context) const { seqmend_context_free(context); }
};

// Each thread repairs in a context of its own, kept for its next repair: threads never share one,
// and a file costs no allocation of the context's buffers.
thread_local std::unique_ptr<seqmend_context, ContextFree> t_context;

// After an input this large the context is let go, so that an idle thread does not keep a
// repaired copy's worth of memory.
constexpr size_t KEPT_CONTEXT_INPUT_LIMIT = size_t(16) << 20;

// A strong reference, dropped at the end of its scope unless released.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  static Ref borrowed(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// The package's classes and the slots of their instances, in the order of the fields below;
// handed over once by the package (use_classes) and kept for the life of the process.
constexpr const char* REPAIR_FIELDS[] = {"verdict", "data",          "findings", "extras",
                                         "crlf_hint", "failed_stream", "error"};
constexpr const char* FINDING_FIELDS[] = {"code",   "text",  "track", "value", "byte",
                                          "offset", "count", "tag",   "file"};
constexpr size_t REPAIR_FIELD_COUNT = std::size(REPAIR_FIELDS);
constexpr size_t FINDING_FIELD_COUNT = std::size(FINDING_FIELDS);

struct Package {
  PyTypeObject* repair = nullptr;
  PyTypeObject* finding = nullptr;
  PyObject* repairSlots[REPAIR_FIELD_COUNT] = {};
  PyObject* findingSlots[FINDING_FIELD_COUNT] = {};
  PyObject* verdicts[3] = {};     // failed, sound, repaired: the verdict + 1
  PyObject* streams[5] = {};      // none, input, output, extra, memory
  PyObject* codeNames[64] = {};   // by code; a code the table does not reach is its number
  PyObject* keywords[4] = {};     // data, tracks_only, normalize, name
};
Package package;

// A new instance of type with its slots set from values (references taken over), or nullptr
// with an exception set.
PyObject* fill(PyTypeObject* type, PyObject* const* slots, Ref* values, size_t count) {
  Ref object(type->tp_alloc(type, 0));
  if (!object) {
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!values[i] || Py_TYPE(slots[i])->tp_descr_set(slots[i], object.get(), values[i].get()) != 0) {
      return nullptr;
    }
  }
  return object.release();
}

Ref numberOrNone(int64_t value) {
  return value < 0 ? Ref::borrowed(Py_None) : Ref(PyLong_FromLongLong(value));
}

Ref textOrNone(const char* text) {
  return text[0] == '\0' ? Ref::borrowed(Py_None) : Ref(PyUnicode_FromString(text));
}

Ref codeName(int code) {
  if (code >= 0 && size_t(code) < std::size(package.codeNames) && package.codeNames[code]) {
    return Ref::borrowed(package.codeNames[code]);
  }
  return Ref(PyLong_FromLong(code));
}

// The lines of a repair's findings, rendered while the GIL is released: one text, each line's
// end in it, without the newline.
struct Lines {
  std::string text;
  std::vector<size_t> ends;

  void render(const seqmend_context* context, const char* name) {
    text.clear();
    ends.clear();
    const size_t count = seqmend_finding_count(context);
    for (size_t i = 0; i < count; ++i) {
      const seqmend_finding* finding = seqmend_finding_at(context, i);
      const size_t start = text.size();
      const size_t length = seqmend_render(finding, name, nullptr, 0);
      text.resize(start + length + 1);
      seqmend_render(finding, name, text.data() + start, length + 1);
      text.resize(start + length);
      if (length > 0 && text.back() == '\n') {
        text.pop_back();
      }
      ends.push_back(text.size());
    }
  }
};

thread_local Lines t_lines;

seqmend_context* threadContext() {
  if (!t_context) {
    t_context.reset(seqmend_context_new());
  }
  return t_context.get();
}

// The arguments of repair() and restore_line_ends(): data first, the others by keyword only.
struct Arguments {
  PyObject* data = nullptr;
  unsigned flags = 0;
  Ref name;  // bytes, as os.fsencode gives them; unset for the default name
};

bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, bool withFlags, Arguments& parsed) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  if (positional > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function,
                 positional);
    return false;
  }
  if (positional == 1) {
    parsed.data = args[0];
  }
  const Py_ssize_t keywordCount = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywordCount; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[positional + i];
    size_t which = 0;
    while (which < std::size(package.keywords) &&
           keyword != package.keywords[which] &&
           PyUnicode_Compare(keyword, package.keywords[which]) != 0) {
      ++which;
    }
    if (which == 0 && parsed.data == nullptr) {
      parsed.data = value;
    } else if (which == 3 && !parsed.name) {
      PyObject* encoded = nullptr;
      if (!PyUnicode_FSConverter(value, &encoded)) {
        return false;
      }
      parsed.name = Ref(encoded);
    } else if (withFlags && (which == 1 || which == 2)) {
      const int on = PyObject_IsTrue(value);
      if (on < 0) {
        return false;
      }
      parsed.flags |= on ? (which == 1 ? SEQMEND_TRACKS_ONLY : SEQMEND_NORMALIZE) : 0u;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected or repeated keyword argument '%U'",
                   function, keyword);
      return false;
    }
  }
  if (parsed.data == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'data'", function);
    return false;
  }
  return true;
}

// The input's bytes, held for the whole call: a bytearray cannot change size while it is held.
class InputBuffer {
 public:
  bool hold(PyObject* object) {
    if (PyUnicode_Check(object) || PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "a bytes-like object with contiguous bytes is required, not '%s'",
                   Py_TYPE(object)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  ~InputBuffer() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }

  const char* data() const { return static_cast<const char*>(view_.buf); }
  size_t size() const { return size_t(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

Ref bytesOf(const unsigned char* data, size_t size) {
  return Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                       data == nullptr ? 0 : Py_ssize_t(size)));
}

using MemoryCall = int (*)(seqmend_context*, const seqmend_options*, const void*, size_t,
                           seqmend_result*);

PyObject* findingsOf(const seqmend_context* context, const Lines& lines) {
  const size_t count = lines.ends.size();
  Ref list(PyList_New(Py_ssize_t(count)));
  size_t start = 0;
  for (size_t i = 0; list && i < count; ++i) {
    const seqmend_finding& f = *seqmend_finding_at(context, i);
    Ref values[FINDING_FIELD_COUNT] = {
        codeName(f.code),
        // A name given as a path may be any bytes; the line holds it as os.fsdecode gives it.
        Ref(PyUnicode_DecodeUTF8(lines.text.data() + start, Py_ssize_t(lines.ends[i] - start),
                                 "surrogateescape")),
        numberOrNone(f.track),
        numberOrNone(f.value),
        numberOrNone(f.byte),
        numberOrNone(f.offset),
        numberOrNone(f.count),
        textOrNone(f.tag),
        textOrNone(f.file)};
    PyObject* finding = fill(package.finding, package.findingSlots, values, std::size(values));
    if (finding == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), finding);
    start = lines.ends[i];
  }
  return list.release();
}

PyObject* repairWith(MemoryCall call, const char* function, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, bool withFlags) {
  if (package.repair == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "seqmend._seqmend is used before the package is loaded");
    return nullptr;
  }
  Arguments arguments;
  InputBuffer input;
  if (!parseArguments(function, args, nargs, kwnames, withFlags, arguments) ||
      !input.hold(arguments.data)) {
    return nullptr;
  }
  const char* name = arguments.name ? PyBytes_AS_STRING(arguments.name.get()) : "<data>";
  seqmend_context* context = nullptr;
  seqmend_result result{};
  Lines* lines = &t_lines;
  Py_BEGIN_ALLOW_THREADS
  context = threadContext();
  if (context != nullptr) {
    seqmend_options options{};
    options.flags = arguments.flags;
    call(context, &options, input.data(), input.size(), &result);
    lines->render(context, name);
  }
  Py_END_ALLOW_THREADS
  if (context == nullptr) {
    return PyErr_NoMemory();
  }

  Ref data;
  if (result.verdict == SEQMEND_SOUND) {
    data = PyBytes_CheckExact(arguments.data) ? Ref::borrowed(arguments.data)
                                              : Ref(PyBytes_FromStringAndSize(
                                                    input.data(), Py_ssize_t(input.size())));
  } else if (result.verdict == SEQMEND_REPAIRED) {
    size_t size = 0;
    const unsigned char* bytes = seqmend_output(context, &size);
    data = bytesOf(bytes, size);
  } else {
    data = Ref(PyBytes_FromStringAndSize(nullptr, 0));
  }
  Ref extras(PyList_New(result.extra_count));
  for (int number = 1; extras && number <= result.extra_count; ++number) {
    size_t size = 0;
    const unsigned char* extra = seqmend_extra(context, number, &size);
    PyObject* copy = bytesOf(extra, size).release();
    if (copy == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(extras.get(), number - 1, copy);
  }
  const int stream = result.failed_stream;
  Ref values[REPAIR_FIELD_COUNT] = {
      Ref::borrowed(package.verdicts[result.verdict + 1]),
      std::move(data),
      Ref(findingsOf(context, *lines)),
      std::move(extras),
      Ref::borrowed(result.crlf_hint ? Py_True : Py_False),
      Ref::borrowed(stream >= 0 && stream < 5 ? package.streams[stream] : Py_None),
      Ref(PyLong_FromLong(result.error))};
  if (input.size() > KEPT_CONTEXT_INPUT_LIMIT) {
    t_context.reset();
  }
  return fill(package.repair, package.repairSlots, values, std::size(values));
}

PyObject* repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return repairWith(seqmend_repair_memory, "repair", args, nargs, kwnames, true);
}

PyObject* restoreLineEnds(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return repairWith(seqmend_restore_memory, "restore_line_ends", args, nargs, kwnames, false);
}

constexpr const char REPAIR_DOC[] =
    "repair($module, /, data, *, tracks_only=False, normalize=False, name='<data>')\n--\n\n"
    "Checks one MIDI file held in memory and repairs it.\n\n"
    "data is the whole file: bytes, bytearray, memoryview or any object with contiguous bytes.\n"
    "tracks_only repairs only the chunk structure (header, chunk lengths, track count, stray\n"
    "bytes) and copies each track's events unchanged, like `seqmend -tracksonly`.\n"
    "normalize also writes the normal form that strict readers load, like `seqmend -normalize`:\n"
    "channel data bytes in range, meta values no reader accepts left out, the status written\n"
    "after non-channel events, one end of track per track; each change is a finding.\n"
    "name is the input's name that each finding's text begins with (str, bytes or a path).\n\n"
    "Returns a Repair; a file that cannot be treated gives the verdict \"failed\", not an\n"
    "exception. Raises TypeError when data is not bytes-like. The repair runs with the GIL\n"
    "released.";

constexpr const char RESTORE_DOC[] =
    "restore_line_ends($module, /, data, *, name='<data>')\n--\n\n"
    "Undoes the damage of a text-mode transfer (CR LF turned into LF, or LF into CR LF), as\n"
    "the eolmend command does.\n\n"
    "The verdict is \"repaired\" when a chunk was restored, \"sound\" when the file is sound as\n"
    "it stands (data is the input), and \"failed\" when it is neither. Raises TypeError when\n"
    "data is not bytes-like.";

PyMethodDef g_methods[] = {
    {"repair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair)),
     METH_FASTCALL | METH_KEYWORDS, REPAIR_DOC},
    {"restore_line_ends",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restoreLineEnds)),
     METH_FASTCALL | METH_KEYWORDS, RESTORE_DOC},
    {nullptr, nullptr, 0, nullptr}};

PyObject* interned(const char* text) {
  PyObject* object = PyUnicode_InternFromString(text);
  if (object == nullptr) {
    throw py::error_already_set();
  }
  return object;
}

// Takes the package's Repair and Finding classes; their instances must have a slot for each
// field (their __slots__), which repair() fills.
void useClasses(py::type repairClass, py::type findingClass) {
  auto slotsOf = [](py::type type, const auto& fields, PyObject** slots) {
    for (const char* field : fields) {
      py::object slot = type.attr(field);
      if (Py_TYPE(slot.ptr())->tp_descr_set == nullptr) {
        throw py::type_error(std::string(field) + " is not a slot of " +
                             std::string(py::str(type)));
      }
      *slots++ = slot.release().ptr();
    }
  };
  slotsOf(repairClass, REPAIR_FIELDS, package.repairSlots);
  slotsOf(findingClass, FINDING_FIELDS, package.findingSlots);
  package.repair = reinterpret_cast<PyTypeObject*>(repairClass.release().ptr());
  package.finding = reinterpret_cast<PyTypeObject*>(findingClass.release().ptr());
}

}  // namespace

PYBIND11_MODULE(_seqmend, module) {
  module.doc() = "The compiled core of seqmend; use the functions of the seqmend package.";
  const char* verdicts[] = {"failed", "sound", "repaired"};
  for (size_t i = 0; i < std::size(verdicts); ++i) {
    package.verdicts[i] = interned(verdicts[i]);
  }
  package.streams[0] = Py_NewRef(Py_None);
  const char* streams[] = {"input", "output", "extra", "memory"};
  for (size_t i = 0; i < std::size(streams); ++i) {
    package.streams[i + 1] = interned(streams[i]);
  }
  for (int code = 0; code < int(std::size(package.codeNames)); ++code) {
    if (const char* name = seqmend_code_name(code)) {
      package.codeNames[code] = interned(name);
    }
  }
  const char* keywords[] = {"data", "tracks_only", "normalize", "name"};
  for (size_t i = 0; i < std::size(keywords); ++i) {
    package.keywords[i] = interned(keywords[i]);
  }
  if (PyModule_AddFunctions(module.ptr(), g_methods) != 0) {
    throw py::error_already_set();
  }
  module.def("use_classes", &useClasses, py::arg("repair"), py::arg("finding"),
             "Hands the package's Repair and Finding classes to repair().");
  module.def("code_name", [](int code) -> py::object {
    const char* name = seqmend_code_name(code);
    return name ? py::object(py::str(name)) : py::object(py::none());
  });
  module.def("version", []() { return std::string(seqmend_version_string()); });
}
