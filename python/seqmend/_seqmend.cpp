// The binding of libseqmend for Python: one call per repair over the memory API, the repair and
// the rendering of its lines done with the GIL released, the results handed back as plain tuples
// that seqmend/__init__.py turns into its objects.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
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

seqmend_context* threadContext() {
  if (!t_context) {
    t_context.reset(seqmend_context_new());
  }
  return t_context.get();
}

// The input's bytes, held for the whole call: a bytearray cannot change size while it is held.
class InputBuffer {
 public:
  explicit InputBuffer(py::handle object) {
    if (PyUnicode_Check(object.ptr()) ||
        PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      throw py::type_error(
          std::string("a bytes-like object with contiguous bytes is required, not '") +
          Py_TYPE(object.ptr())->tp_name + "'");
    }
    held_ = true;
  }
  ~InputBuffer() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;

  const void* data() const { return view_.buf; }
  size_t size() const { return size_t(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// One finding with its line, gathered while the GIL is released.
struct Gathered {
  seqmend_finding finding;
  std::string line;
};

// The result and the rendered findings of a repair. The output and the extra files stay in
// the thread's context, which no other thread touches, until they are copied into Python.
struct Outcome {
  seqmend_context* context = nullptr;
  seqmend_result result{};
  std::vector<Gathered> findings;
};

std::string renderLine(const seqmend_finding& finding, const std::string& name) {
  char small[256];
  size_t length = seqmend_render(&finding, name.c_str(), small, sizeof small);
  std::string line;
  if (length < sizeof small) {
    line.assign(small, length);
  } else {
    line.resize(length + 1);
    seqmend_render(&finding, name.c_str(), line.data(), line.size());
    line.resize(length);
  }
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  return line;
}

using MemoryCall = int (*)(seqmend_context*, const seqmend_options*, const void*, size_t,
                           seqmend_result*);

Outcome runMemory(MemoryCall call, const void* data, size_t size, unsigned flags,
                  const std::string& name) {
  Outcome outcome;
  seqmend_context* context = threadContext();
  outcome.context = context;
  if (context == nullptr) {
    return outcome;
  }
  seqmend_options options{};
  options.flags = flags;
  call(context, &options, data, size, &outcome.result);
  const size_t count = seqmend_finding_count(context);
  outcome.findings.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const seqmend_finding* finding = seqmend_finding_at(context, i);
    outcome.findings.push_back({*finding, renderLine(*finding, name)});
  }
  return outcome;
}

py::bytes bytesOf(const unsigned char* data, size_t size) {
  return py::bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
}

py::object numberOrNone(int64_t value) {
  return value < 0 ? py::object(py::none()) : py::object(py::int_(value));
}

py::object textOrNone(const char* text) {
  return text[0] == '\0' ? py::object(py::none()) : py::object(py::str(text));
}

// (verdict, crlf_hint, failed_stream, error, output or None, findings, extras); a finding is
// (code name, line as bytes, track, value, byte, offset, count, tag, file).
py::tuple repairWith(MemoryCall call, py::handle data, unsigned flags, const std::string& name) {
  InputBuffer input(data);
  Outcome outcome;
  {
    py::gil_scoped_release released;
    outcome = runMemory(call, input.data(), input.size(), flags, name);
  }
  if (outcome.context == nullptr) {
    throw std::bad_alloc();
  }
  py::list findings;
  for (const Gathered& gathered : outcome.findings) {
    const seqmend_finding& f = gathered.finding;
    const char* codeName = seqmend_code_name(f.code);
    findings.append(
        py::make_tuple(codeName ? py::object(py::str(codeName)) : py::object(py::int_(f.code)),
                       py::bytes(gathered.line), numberOrNone(f.track), numberOrNone(f.value),
                       numberOrNone(f.byte), numberOrNone(f.offset), numberOrNone(f.count),
                       textOrNone(f.tag), textOrNone(f.file)));
  }
  const seqmend_result& r = outcome.result;
  py::list extras;
  for (int number = 1; number <= r.extra_count; ++number) {
    size_t size = 0;
    const unsigned char* extra = seqmend_extra(outcome.context, number, &size);
    extras.append(bytesOf(extra, size));
  }
  py::object output = py::none();
  if (r.verdict == SEQMEND_REPAIRED) {
    size_t size = 0;
    const unsigned char* bytes = seqmend_output(outcome.context, &size);
    output = bytesOf(bytes, size);
  }
  if (input.size() > KEPT_CONTEXT_INPUT_LIMIT) {
    t_context.reset();
  }
  return py::make_tuple(r.verdict, bool(r.crlf_hint), r.failed_stream, r.error, output, findings,
                        extras);
}

}  // namespace

PYBIND11_MODULE(_seqmend, module) {
  module.doc() = "The compiled core of seqmend; use the functions of the seqmend package.";
  module.def(
      "repair_memory",
      [](py::handle data, unsigned flags, const std::string& name) {
        return repairWith(seqmend_repair_memory, data, flags, name);
      },
      py::arg("data"), py::arg("flags"), py::arg("name"),
      "Repairs the bytes; returns (verdict, crlf_hint, failed_stream, error, output, findings, "
      "extras).");
  module.def(
      "restore_memory",
      [](py::handle data, const std::string& name) {
        return repairWith(seqmend_restore_memory, data, 0u, name);
      },
      py::arg("data"), py::arg("name"),
      "Undoes text-mode damage; returns the same tuple as repair_memory.");
  module.def("code_name", [](int code) -> py::object {
    const char* name = seqmend_code_name(code);
    return name ? py::object(py::str(name)) : py::object(py::none());
  });
  module.attr("TRACKS_ONLY") = SEQMEND_TRACKS_ONLY;
  module.attr("NORMALIZE") = SEQMEND_NORMALIZE;
  module.def("version", []() { return std::string(seqmend_version_string()); });
}
