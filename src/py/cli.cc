#include "cli.h"

#include <optional>
#include <string>
#include <vector>

#include "analysis/commands.h"
#include "cli_args.h"
#include "host.h"
#include "tracer.h"

namespace vespra::cli {
namespace {

using host::Ref;
using host::TakenError;

// Words travel between Python and the parser as UTF-8 with lone surrogates passed through, so
// that every str of sys.argv (including the surrogate-escaped bytes of undecodable file names)
// comes back out of the parser exactly as it went in.
constexpr const char* WORD_ERRORS = "surrogatepass";

Ref word_to_str(const std::string& word) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), WORD_ERRORS));
}

// argv as parser words: any sequence of str except a str itself (which is a sequence of str
// too, and would be taken apart letter by letter).
std::optional<std::vector<std::string>> words_of(PyObject* argv) {
    if (PyUnicode_Check(argv) || !PySequence_Check(argv)) {
        PyErr_Format(PyExc_TypeError, "argv must be a sequence of str, not %.100s",
                     Py_TYPE(argv)->tp_name);
        return std::nullopt;
    }
    // A tuple snapshot: another thread may be changing a list while we read it.
    Ref items = Ref::steal(PySequence_Tuple(argv));
    if (!items) return std::nullopt;
    std::vector<std::string> words;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    words.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argv[%zd] must be str, not %.100s", i,
                         Py_TYPE(item)->tp_name);
            return std::nullopt;
        }
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(item, "utf-8", WORD_ERRORS));
        if (!bytes) return std::nullopt;
        words.emplace_back(PyBytes_AS_STRING(bytes.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
    return words;
}

// Prints help or a usage error on sys.stdout or sys.stderr, so that it is ordered with the
// program's other output and redirections of those streams apply. A stream that is missing or
// fails to take the text is ignored: the exit status still tells what happened.
void print(const Message& message) {
    Ref sys = host::import("sys");
    Ref stream =
        sys ? host::getattr(sys.get(),
                            message.stream == Message::Stream::Stdout ? "stdout" : "stderr")
            : Ref();
    Ref text = word_to_str(message.text);
    if (stream && stream.get() != Py_None && text) {
        Ref written = host::call_method(stream.get(), "write", {text.get()});
        if (written) Ref flushed = host::call_method(stream.get(), "flush", {});
    }
    PyErr_Clear();
}

// The directory the traced program's own imports start from, as the interpreter would set it
// for `python SCRIPT` (the script's real directory) or `python -m MODULE` (the current
// directory). The caller's first sys.path entry (for the launcher, its own directory) says
// nothing about the traced program.
Ref import_root(PyObject* os, const RunArgs& args, PyObject* target) {
    if (args.runs_module()) return host::call_method(os, "getcwd", {});
    Ref path = host::getattr(os, "path");
    if (!path) return {};
    Ref real = host::call_method(path.get(), "realpath", {target});
    if (!real) return {};
    return host::call_method(path.get(), "dirname", {real.get()});
}

// The path a script runs under (its __file__, the file name of its code, in its warnings and
// tracebacks), as the interpreter makes it for `python SCRIPT`: joined to the current directory
// when relative, and not normalised. Without a current directory, the path as given.
Ref script_path(PyObject* os, PyObject* target) {
    Ref cwd = host::call_method(os, "getcwd", {});
    if (!cwd) {
        PyErr_Clear();
        return Ref::borrow(target);
    }
    Ref path = host::getattr(os, "path");
    return path ? host::call_method(path.get(), "join", {cwd.get(), target}) : Ref();
}

// `target` is the script's path as script_path() makes it, or the module's name.
Ref run_target(PyObject* runpy, const RunArgs& args, PyObject* target) {
    if (!args.runs_module()) {
        Ref run_name = host::str("__main__");
        if (!run_name) return {};
        return host::call_method(runpy, "run_path", {target, Py_None, run_name.get()});
    }
    Ref run_module = host::getattr(runpy, "run_module");
    Ref positional = run_module ? Ref::steal(PyTuple_Pack(1, target)) : Ref();
    Ref keywords =
        positional
            ? Ref::steal(Py_BuildValue("{s:s,s:O}", "run_name", "__main__", "alter_sys", Py_True))
            : Ref();
    if (!keywords) return {};
    return Ref::steal(PyObject_Call(run_module.get(), positional.get(), keywords.get()));
}

// Undoes the sys.path entry added for the run, if the program left it in front. An entry the
// program moved is left where it is.
void drop_import_root(PyObject* sys, PyObject* root) {
    Ref path = host::getattr(sys, "path");
    if (path && PyList_Check(path.get())) {
        Ref first = Ref::steal(PySequence_GetItem(path.get(), 0));
        if (first.get() == root) PySequence_DelItem(path.get(), 0);
    }
    PyErr_Clear();
}

// The Python frames open on this thread now are the launcher's (the `vespra` script, runpy):
// the trace begins with the program's own.
void hide_launcher_frames(TracerData& data) {
    size_t frames = 0;
    PyFrameObject* frame = PyEval_GetFrame();
    Py_XINCREF(frame);
    while (frame) {
        ++frames;
        PyFrameObject* back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    data.launcher_thread = PyThread_get_thread_ident();
    data.launcher_frames = frames;
}

// Runs the parsed command under a tracer. Returns 0 (as a Python int), or raises.
PyObject* run(PyObject* module, const RunArgs& args) {
    Ref os = host::import("os");
    if (!os) return nullptr;
    // Processes that join the trace from another directory get the path from the tracer, which
    // exports it made absolute.
    Ref output = word_to_str(args.output);
    if (!output) return nullptr;
    // The clock goes through the environment, so that the processes the program starts read
    // the same one.
    if (!args.clock.empty()) {
        Ref environ = host::getattr(os.get(), "environ");
        Ref key = host::str("VESPRA_CLOCK");
        Ref clock = word_to_str(args.clock);
        if (!environ || !key || !clock ||
            PyObject_SetItem(environ.get(), key.get(), clock.get()) < 0) {
            return nullptr;
        }
    }
    Ref format = word_to_str(args.format);
    Ref tracer_type = format ? host::getattr(module, "Tracer") : Ref();
    Ref tracer = tracer_type ? host::call(tracer_type.get(), {output.get(), format.get(),
                                                              args.lossless ? Py_True : Py_False})
                             : Ref();
    if (!tracer) return nullptr;

    // The program sees itself as invoked with its own words.
    const std::vector<std::string>& words = args.runs_module() ? args.module : args.script_args;
    Ref new_argv = Ref::steal(PyList_New(0));
    if (!new_argv) return nullptr;
    if (!args.runs_module()) {
        Ref script = word_to_str(args.script);
        if (!script || PyList_Append(new_argv.get(), script.get()) < 0) return nullptr;
    }
    for (const std::string& word : words) {
        Ref item = word_to_str(word);
        if (!item || PyList_Append(new_argv.get(), item.get()) < 0) return nullptr;
    }
    Ref target = Ref::steal(PySequence_GetItem(new_argv.get(), 0));
    if (!target) return nullptr;
    // Worked out before the tracer starts, so that the trace begins with the program.
    Ref runs = args.runs_module() ? Ref::borrow(target.get()) : script_path(os.get(), target.get());
    if (!runs) return nullptr;

    Ref sys = host::import("sys");
    Ref saved_argv = sys ? host::getattr(sys.get(), "argv") : Ref();
    if (!saved_argv || PyObject_SetAttrString(sys.get(), "argv", new_argv.get()) < 0) {
        return nullptr;
    }
    Ref root = import_root(os.get(), args, target.get());
    Ref sys_path = root ? host::getattr(sys.get(), "path") : Ref();
    if (!sys_path || PyList_Insert(sys_path.get(), 0, root.get()) < 0) return nullptr;
    // From here on the sys.path entry is ours to take back, whatever happens.
    Ref runpy = host::import("runpy");
    hide_launcher_frames(tracer::as_tracer(tracer.get())->data);
    Ref entered = runpy ? host::call_method(tracer.get(), "__enter__", {}) : Ref();
    if (!entered) {
        TakenError error = TakenError::take();
        drop_import_root(sys.get(), root.get());
        error.restore();
        return nullptr;
    }

    Ref result = run_target(runpy.get(), args, runs.get());
    TakenError run_error = result ? TakenError() : TakenError::take();

    // The trace is complete before the program's exception (SystemExit included) goes on.
    Ref exited = host::call_method(tracer.get(), "__exit__", {Py_None, Py_None, Py_None});
    TakenError exit_error = exited ? TakenError() : TakenError::take();

    drop_import_root(sys.get(), root.get());
    if (PyObject_SetAttrString(sys.get(), "argv", saved_argv.get()) < 0) return nullptr;
    if (run_error) {
        run_error.restore();
        return nullptr;
    }
    if (exit_error) {
        exit_error.restore();
        return nullptr;
    }
    return PyLong_FromLong(0);
}

// Runs `summary` or `flamegraph`: the reading, which can take long on a large trace, runs
// detached from the interpreter; the output is printed like the parser's messages.
template <class Options>
PyObject* analyse(const Options& options, analysis::CommandResult (*command)(const Options&)) {
    analysis::CommandResult result;
    {
        host::Detached detached;
        result = command(options);
    }
    if (!result.out.empty()) print(Message{Message::Stream::Stdout, 0, std::move(result.out)});
    if (!result.err.empty()) print(Message{Message::Stream::Stderr, 0, std::move(result.err)});
    return PyLong_FromLong(result.status);
}

PyObject* cli_main(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* const KEYWORDS[] = {"argv", nullptr};
    PyObject* argv = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:cli_main", KEYWORDS, &argv)) return nullptr;
    std::optional<std::vector<std::string>> words = words_of(argv);
    if (!words) return nullptr;

    Cli cli = parse(*words);
    if (const Message* message = std::get_if<Message>(&cli)) {
        print(*message);
        return PyLong_FromLong(message->status);
    }
    if (const auto* summary = std::get_if<analysis::SummaryOptions>(&cli)) {
        return analyse(*summary, analysis::summary);
    }
    if (const auto* flamegraph = std::get_if<analysis::FlamegraphOptions>(&cli)) {
        return analyse(*flamegraph, analysis::flamegraph);
    }
    return run(module, std::get<RunArgs>(cli));
}

PyMethodDef CLI_MAIN_DEF = {
    "cli_main", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cli_main)),
    METH_VARARGS | METH_KEYWORDS,
    "cli_main(argv)\n--\n\n"
    "Run the vespra command line given in the form of sys.argv and return its exit status."};

}  // namespace

int add_cli_main(PyObject* module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    // The module is the function's `self`: `run` finds Tracer there.
    PyObject* fn = PyCFunction_NewEx(&CLI_MAIN_DEF, module, name.get());
    if (fn == nullptr) return -1;
    return PyModule_Add(module, "cli_main", fn);
}

}  // namespace vespra::cli
