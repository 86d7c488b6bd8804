// The module surface: the function table, argument binding, summaries as dicts, the watch for
// signals while an analysis runs on its worker, and the boundary that turns errors into Python
// exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "classcode.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "json.hpp"
#include "leak/leak.hpp"
#include "orf/orf.hpp"
#include "preflight.hpp"
#include "quantify/quantify.hpp"
#include "structure/structure.hpp"
#include "terminal.hpp"
#include "version.hpp"

namespace voskel::lib {

namespace {

using Args = std::span<const std::string>;
using Driver = Result<json::Value> (*)(Args);

constexpr size_t kMaxParams = 8;

struct Function {
  const char *name;
  const char *doc;                                 // the text signature, "name(params)\n--\n\n"
  std::array<const char *, kMaxParams + 1> params; // null-terminated keyword list
  Driver run;
};

// Summary objects are built key by key; the JSON object keeps them in byte order.
json::Value summary(std::initializer_list<std::pair<const char *, uint64_t>> items) {
  json::Object o;
  for (const auto &[k, v] : items)
    o.emplace(k, json::Value(v));
  return json::Value(std::move(o));
}

// The summary of a successful analysis, or its error unchanged.
template <class T, class F> Result<json::Value> summarise(Result<T> r, F &&make) {
  if (!r)
    return fail(std::move(r.error()));
  return make(*r);
}

// ---- drivers: one per analysis, from texts to the summary -----------------------------------

// The preflight never fails: its problems are inside the report.
Result<json::Value> run_preflight_bams(Args a) {
  return preflight::report_value(preflight::run_preflight(a[0], a[1], a[2]));
}

Result<json::Value> run_classify_gtfs(Args a) {
  return summarise(classcode::classify_gtfs(a[0], a[1], a[2], a[3]), [](const auto &r) {
    return summary({{"n_transcripts", r.n_transcripts}, {"n_u", r.n_u}});
  });
}

Result<json::Value> run_structure_scan(Args a) {
  auto n = structure::structure_scan(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  return summarise(std::move(n), [](uint64_t v) { return summary({{"n_loci_scanned", v}}); });
}

Result<json::Value> run_quantify_gtf(Args a) {
  return summarise(quantify::quantify_gtf(a[0], a[1], a[2], a[3]), [](const auto &r) {
    return summary({{"n_transcripts", r.n_transcripts},
                    {"n_loci", r.n_loci},
                    {"dropped_fragments", r.dropped_fragments}});
  });
}

Result<json::Value> run_scan_orfs(Args a) {
  return summarise(orf::scan_orfs(a[0], a[1], a[2], a[3], a[4], a[5]), [](uint64_t n) {
    return summary({{"n_orfs", n}});
  });
}

Result<json::Value> run_leak_scan(Args a) {
  return summarise(leak::leak_scan(a[0], a[1], a[2], a[3]), [](const auto &r) {
    return summary({{"n_leak", r.n_leak}, {"dropped_fragments", r.dropped_fragments}});
  });
}

Result<json::Value> run_extend_terminals(Args a) {
  return summarise(terminal::extend_terminals(a[0], a[1], a[2], a[3]),
                   [](uint64_t n) { return summary({{"n_loci", n}}); });
}

// ---- the function table ----------------------------------------------------------------------

// Attribute order of the module; core_version, which takes no arguments, comes first.
constexpr std::array kFunctions{
    Function{"preflight_bams",
             "preflight_bams(samples_json, fasta, annotation_gtf)\n--\n\n",
             {"samples_json", "fasta", "annotation_gtf"},
             run_preflight_bams},
    Function{"classify_gtfs",
             "classify_gtfs(merged_gtf, ref_gtf, out_tsv, cfg_json)\n--\n\n",
             {"merged_gtf", "ref_gtf", "out_tsv", "cfg_json"},
             run_classify_gtfs},
    Function{"structure_scan",
             "structure_scan(merged_gtf, ref_gtf, class_tsv, representatives_tsv, fasta, "
             "samples_json, out_tsv, cfg_json)\n--\n\n",
             {"merged_gtf", "ref_gtf", "class_tsv", "representatives_tsv", "fasta", "samples_json",
              "out_tsv", "cfg_json"},
             run_structure_scan},
    Function{"quantify_gtf",
             "quantify_gtf(merged_gtf, samples_json, out_dir, cfg_json)\n--\n\n",
             {"merged_gtf", "samples_json", "out_dir", "cfg_json"},
             run_quantify_gtf},
    Function{"scan_orfs",
             "scan_orfs(fasta, merged_gtf, representatives_tsv, out_tsv, peptides_fa, "
             "cfg_json)\n--\n\n",
             {"fasta", "merged_gtf", "representatives_tsv", "out_tsv", "peptides_fa", "cfg_json"},
             run_scan_orfs},
    Function{"leak_scan",
             "leak_scan(merged_gtf, samples_json, out_tsv, cfg_json)\n--\n\n",
             {"merged_gtf", "samples_json", "out_tsv", "cfg_json"},
             run_leak_scan},
    Function{"extend_terminals",
             "extend_terminals(loci_tsv, out_tsv, samples_json, cfg_json)\n--\n\n",
             {"loci_tsv", "out_tsv", "samples_json", "cfg_json"},
             run_extend_terminals},
};

// ---- shared state: the exception types, made once per process --------------------------------

PyObject *g_voskel_error = nullptr;   // voskel_core.VoskelError, base Exception
PyObject *g_internal_error = nullptr; // voskel_core.InternalError, base BaseException
std::atomic<int64_t> g_interp_id{-1};

bool make_exception_types() {
  if (!g_voskel_error) {
    g_voskel_error = PyErr_NewException("voskel_core.VoskelError", nullptr, nullptr);
    if (!g_voskel_error)
      return false;
  }
  if (!g_internal_error) {
    g_internal_error =
        PyErr_NewException("voskel_core.InternalError", PyExc_BaseException, nullptr);
    if (!g_internal_error)
      return false;
  }
  return true;
}

void raise_core_error(const CoreError &e) {
  // Texts are UTF-8; should a byte from a file slip into one unchecked, it is replaced rather
  // than turning the error into a decoding failure.
  PyObject *msg = PyUnicode_DecodeUTF8(e.text().data(), (Py_ssize_t)e.text().size(), "replace");
  if (!msg)
    return;
  PyErr_SetObject(g_voskel_error, msg);
  Py_DECREF(msg);
}

// Turns the summary into a dict through the interpreter's json.loads.
PyObject *to_dict(const json::Value &value) {
  const std::string text = json::to_json(value);
  PyObject *mod = PyImport_ImportModule("json");
  if (!mod)
    return nullptr;
  PyObject *loads = PyObject_GetAttrString(mod, "loads");
  Py_DECREF(mod);
  if (!loads)
    return nullptr;
  PyObject *arg = PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
  if (!arg) {
    Py_DECREF(loads);
    return nullptr;
  }
  PyObject *result = PyObject_CallFunctionObjArgs(loads, arg, nullptr);
  Py_DECREF(arg);
  Py_DECREF(loads);
  if (!result)
    return nullptr;
  if (!PyDict_Check(result)) {
    PyTypeObject *tp = Py_TYPE(result);
    PyObject *tname = PyType_GetName(tp);
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyDict'", tname);
    Py_XDECREF(tname);
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

// Takes one argument as UTF-8 text; sets the Python error and returns false otherwise.
bool take_text(PyObject *obj, const char *param, std::string &out) {
  if (!PyUnicode_Check(obj)) {
    PyObject *tname = PyType_GetName(Py_TYPE(obj));
    if (tname) {
      PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'str'",
                   param, tname);
      Py_DECREF(tname);
    }
    return false;
  }
  Py_ssize_t len = 0;
  const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8)
    return false; // the interpreter's encoding error stands
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

// How often the calling thread looks for pending signals while an analysis runs.
constexpr std::chrono::milliseconds kSignalPoll{100};

// Runs the driver on one worker thread while the calling thread, which keeps the interpreter
// lock, runs the interpreter's signal handlers every kSignalPoll. A handler that raises (Ctrl-C
// raises KeyboardInterrupt) stops the analysis at its next checkpoint; the handler's exception
// is then left set and nullopt returned. A driver's exception is rethrown here.
std::optional<Result<json::Value>> run_watched(const Function &fn, Args args) {
  interrupt::Flag flag;
  std::future<Result<json::Value>> work;
  try {
    work = std::async(std::launch::async, [&flag, &fn, args] {
      interrupt::Scope scope(&flag);
      return fn.run(args);
    });
  } catch (const std::system_error &) {
    return fn.run(args); // no thread to spare: the call runs here, without watching
  }
  bool interrupted = false;
  while (work.wait_for(kSignalPoll) != std::future_status::ready) {
    if (!interrupted && PyErr_CheckSignals() < 0) {
      interrupted = true;
      flag.raise();
    }
  }
  if (interrupted) {
    // The interrupt is what the caller hears about, whatever the driver ended with.
    try {
      (void)work.get();
    } catch (...) {
    }
    return std::nullopt;
  }
  return work.get();
}

PyObject *call(const Function &fn, PyObject *args, PyObject *kwargs) {
  size_t nparams = 0;
  while (fn.params[nparams])
    ++nparams;
  // "OOOO:name" binds every parameter as required, by position or by keyword.
  std::string format(nparams, 'O');
  format += ':';
  format += fn.name;
  std::array<PyObject *, kMaxParams> objs{};
  char **kwlist = const_cast<char **>(fn.params.data());
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &objs[0], &objs[1],
                                   &objs[2], &objs[3], &objs[4], &objs[5], &objs[6], &objs[7]))
    return nullptr;
  try {
    std::array<std::string, kMaxParams> texts;
    for (size_t i = 0; i < nparams; ++i)
      if (!take_text(objs[i], fn.params[i], texts[i]))
        return nullptr;
    std::optional<Result<json::Value>> result = run_watched(fn, Args(texts.data(), nparams));
    if (!result)
      return nullptr; // a signal handler's exception stands
    if (!*result) {
      raise_core_error(result->error());
      return nullptr;
    }
    return to_dict(**result);
  } catch (const std::exception &e) {
    PyErr_SetString(g_internal_error, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_error, "unexpected internal failure");
  }
  return nullptr;
}

template <size_t I> PyObject *call_entry(PyObject *, PyObject *args, PyObject *kwargs) {
  return call(kFunctions[I], args, kwargs);
}

PyObject *core_version(PyObject *, PyObject *) { return PyUnicode_FromString(kCoreVersion); }

template <size_t... I> constexpr auto method_table(std::index_sequence<I...>) {
  return std::array<PyMethodDef, sizeof...(I) + 2>{
      PyMethodDef{"core_version", core_version, METH_NOARGS, "core_version()\n--\n\n"},
      PyMethodDef{kFunctions[I].name,
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry<I>)),
                  METH_VARARGS | METH_KEYWORDS, kFunctions[I].doc}...,
      PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

auto g_methods = method_table(std::make_index_sequence<kFunctions.size()>{});

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyObject *init_module() {
  // The module keeps process-wide exception types: refuse a second interpreter.
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0)
    return nullptr;
  int64_t expected = -1;
  if (!g_interp_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, "voskel._core does not support loading in subinterpreters");
    return nullptr;
  }
  if (!make_exception_types())
    return nullptr;
  PyObject *module = PyModule_Create(&g_module_def);
  if (!module)
    return nullptr;
  Py_INCREF(g_voskel_error);
  if (PyModule_AddObject(module, "VoskelError", g_voskel_error) < 0) {
    Py_DECREF(g_voskel_error);
    Py_DECREF(module);
    return nullptr;
  }
  if (PyModule_AddFunctions(module, g_methods.data()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

} // namespace voskel::lib

PyMODINIT_FUNC PyInit__core(void) { return voskel::lib::init_module(); }
