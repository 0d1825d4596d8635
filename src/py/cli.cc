#include "cli.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "analysis/commands.h"
#include "analysis/cut.h"
#include "analysis/text.h"
#include "analysis/view.h"
#include "child_exit.h"
#include "core/parts.h"
#include "cli/cli_args.h"
#include "dump.h"
#include "host.h"
#include "process_names.h"
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

// Prints help, a usage error or a command's output on sys.stdout or sys.stderr, so that it is
// ordered with the program's other output and redirections of those streams apply. Returns
// the stream's failure to take the text, if any (a missing stream takes nothing, silently).
TakenError write_out(const Message& message) {
    Ref sys = host::import("sys");
    Ref stream =
        sys ? host::getattr(sys.get(),
                            message.stream == Message::Stream::Stdout ? "stdout" : "stderr")
            : Ref();
    Ref text = word_to_str(message.text);
    if (stream && stream.get() != Py_None && text) {
        Ref written = host::call_method(stream.get(), "write", {text.get()});
        Ref flushed = written ? host::call_method(stream.get(), "flush", {}) : Ref();
        if (!flushed) return TakenError::take();
    }
    PyErr_Clear();
    return {};
}

// Messages: the exit status tells what happened even when a message cannot be shown.
void print(const Message& message) { TakenError ignored = write_out(message); }

// Points the file descriptor of a stream that failed at /dev/null, so that the interpreter's
// last flush of what the stream still holds does not fail again at exit with a traceback.
void silence(PyObject* stream) {
    int fd = PyObject_AsFileDescriptor(stream);
    PyErr_Clear();
    if (fd < 0) return;
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    ::dup2(null, fd);
    ::close(null);
}

// Writes a command's output on sys.stdout. A reader that went away (`| head`) ends the command
// quietly, as Python tools do; any other failure (a full disk) is one line on standard error.
// Either way the status becomes 1. Returns the status.
int print_output(std::string text, int status) {
    TakenError failed = write_out(Message{Message::Stream::Stdout, status, std::move(text)});
    if (!failed) return status;
    Ref sys = host::import("sys");
    Ref stream = sys ? host::getattr(sys.get(), "stdout") : Ref();
    if (stream) silence(stream.get());
    PyErr_Clear();
    if (!PyErr_GivenExceptionMatches(failed.get(), PyExc_BrokenPipeError)) {
        Ref reason = PyErr_GivenExceptionMatches(failed.get(), PyExc_OSError)
                         ? host::getattr(failed.get(), "strerror")
                         : Ref();
        if (!reason || reason.get() == Py_None) reason = Ref::steal(PyObject_Str(failed.get()));
        PyErr_Clear();
        std::optional<std::string> why = reason ? host::utf8(reason.get()) : std::nullopt;
        PyErr_Clear();
        print(Message{Message::Stream::Stderr, 1,
                      "vespra: standard output: " + why.value_or("write failed") + "\n"});
    }
    return 1;
}

// The directory a script's own imports start from, as the interpreter sets it for
// `python SCRIPT`: the script's real directory.
Ref script_root(PyObject* os, PyObject* path) {
    Ref os_path = host::getattr(os, "path");
    Ref real = os_path ? host::call_method(os_path.get(), "realpath", {path}) : Ref();
    return real ? host::call_method(os_path.get(), "dirname", {real.get()}) : Ref();
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

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    return PyDict_SetItemString(dict, key, value) == 0;
}

// What the run changes in `sys` for the program (argv, the first entry of path, the __main__
// module), put back however the run ends, with any exception raised meanwhile kept.
class SysForProgram {
  public:
    explicit SysForProgram(PyObject* sys) : sys_(sys) {}
    SysForProgram(const SysForProgram&) = delete;
    SysForProgram& operator=(const SysForProgram&) = delete;

    // Puts the program's sys.path[0] in front, to be taken back if it is still there at the end.
    bool add_root(PyObject* root) {
        Ref path = host::getattr(sys_, "path");
        if (!path || PyList_Insert(path.get(), 0, root) < 0) return false;
        root_ = Ref::borrow(root);
        return true;
    }

    bool enter(PyObject* argv, PyObject* main) {
        modules_ = host::getattr(sys_, "modules");
        if (!modules_) return false;
        saved_main_ = Ref::borrow(PyDict_Check(modules_.get())
                                      ? PyDict_GetItemString(modules_.get(), "__main__")
                                      : nullptr);
        saved_argv_ = host::getattr(sys_, "argv");
        if (!saved_argv_ || PyObject_SetAttrString(sys_, "argv", argv) < 0) return false;
        argv_set_ = true;
        Ref key = host::str("__main__");
        return key && PyObject_SetItem(modules_.get(), key.get(), main) == 0;
    }

    ~SysForProgram() {
        TakenError pending = TakenError::take();
        if (root_) {
            Ref path = host::getattr(sys_, "path");
            if (path && PyList_Check(path.get())) {
                Ref first = Ref::steal(PySequence_GetItem(path.get(), 0));
                if (first.get() == root_.get()) PySequence_DelItem(path.get(), 0);
            }
        }
        if (argv_set_) PyObject_SetAttrString(sys_, "argv", saved_argv_.get());
        if (modules_ && saved_main_)
            PyDict_SetItemString(modules_.get(), "__main__", saved_main_.get());
        PyErr_Clear();
        pending.restore();
    }

  private:
    PyObject* sys_;
    Ref root_;
    Ref modules_;
    Ref saved_main_;
    Ref saved_argv_;
    bool argv_set_ = false;
};

// The program, made ready before the tracer starts (so that neither the search for it nor its
// compilation is in the trace, and a program that cannot run leaves no trace file behind): its
// code, the fresh module it runs in as __main__, its sys.argv[0] and its sys.path[0].
struct Program {
    Ref code;
    Ref main;
    Ref argv0;
    Ref root;
};

// What stopped a program from being made ready: an exception set (`status` 0), or a message
// printed as `python` prints it, and the status `python` exits with.
struct NotReady {
    int status = 0;
};

// Fills `program.main` with the globals runpy gives a module it runs as __main__.
bool main_from_spec(Program& program, PyObject* spec) {
    program.main = Ref::steal(PyModule_New("__main__"));
    PyObject* globals = program.main ? PyModule_GetDict(program.main.get()) : nullptr;
    if (!globals) return false;
    for (auto [key, attr] : {std::pair{"__file__", "origin"},
                             {"__cached__", "cached"},
                             {"__loader__", "loader"},
                             {"__package__", "parent"}}) {
        Ref value = host::getattr(spec, attr);
        if (!value || !set_item(globals, key, value.get())) return false;
    }
    Ref builtins = host::import("builtins");
    return builtins && set_item(globals, "__spec__", spec) &&
           set_item(globals, "__builtins__", builtins.get());
}

// Prints `vespra: TEXT` on standard error, TEXT being the exception's str: how `python -m`
// reports a module it cannot find.
NotReady report(TakenError& error, int status) {
    Ref text = Ref::steal(PyObject_Str(error.get()));
    if (!text) return {};
    print(Message{Message::Stream::Stderr, status,
                  "vespra: " + host::utf8(text.get()).value_or("") + "\n"});
    return NotReady{status};
}

// A library module (`-m`), or the __main__ module of a directory or zip file given as the
// script, found the way `python` finds them, with `program.root` first on sys.path. runpy's
// lookup imports the module's parent packages.
std::optional<NotReady> find_module(SysForProgram& patch, PyObject* name, Program& program) {
    if (!patch.add_root(program.root.get())) return NotReady{};
    Ref runpy = host::import("runpy");
    Ref not_found = runpy ? host::getattr(runpy.get(), "_Error") : Ref();
    if (!not_found) return NotReady{};
    Ref details =
        name ? host::call_method(runpy.get(), "_get_module_details", {name, not_found.get()})
             : host::call_method(runpy.get(), "_get_main_module_details", {not_found.get()});
    if (!details) {
        TakenError error = TakenError::take();
        if (!PyErr_GivenExceptionMatches(error.get(), not_found.get())) {
            error.restore();
            return NotReady{};
        }
        return report(error, 1);
    }
    PyObject* found = nullptr;  // the module's name: the package's __main__ for a package
    PyObject* spec = nullptr;
    PyObject* code = nullptr;
    if (!PyArg_ParseTuple(details.get(), "OOO", &found, &spec, &code)) return NotReady{};
    program.code = Ref::borrow(code);
    if (!main_from_spec(program, spec)) return NotReady{};
    // `python -m` shows the program the module's file in sys.argv[0].
    if (!program.argv0) program.argv0 = host::getattr(spec, "origin");
    if (!program.argv0) return NotReady{};
    return std::nullopt;
}

// A script file, read and compiled as `python SCRIPT` does.
std::optional<NotReady> load_script(PyObject* os, SysForProgram& patch, PyObject* target,
                                    Program& program) {
    Ref path = script_path(os, target);
    Ref pkgutil = path ? host::import("pkgutil") : Ref();
    Ref importer = pkgutil ? host::call_method(pkgutil.get(), "get_importer", {path.get()}) : Ref();
    if (!importer) return NotReady{};
    program.argv0 = Ref::borrow(target);
    if (importer.get() != Py_None) {
        // A directory or zip file: its __main__ module, with the directory itself on sys.path.
        program.root = std::move(path);
        return find_module(patch, nullptr, program);
    }
    Ref io = host::import("io");
    Ref file = io ? host::call_method(io.get(), "open_code", {path.get()}) : Ref();
    Ref source = file ? host::call_method(file.get(), "read", {}) : Ref();
    TakenError error = source ? TakenError() : TakenError::take();
    if (file) {
        Ref closed = host::call_method(file.get(), "close", {});
        PyErr_Clear();
    }
    if (error) {
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_OSError)) {
            error.restore();
            return NotReady{};
        }
        Ref errno_value = host::getattr(error.get(), "errno");
        Ref reason = host::getattr(error.get(), "strerror");
        Ref text =
            errno_value && reason
                ? Ref::steal(PyUnicode_FromFormat("vespra: can't open file %R: [Errno %S] %S\n",
                                                  path.get(), errno_value.get(), reason.get()))
                : Ref();
        if (!text) return NotReady{};
        print(Message{Message::Stream::Stderr, 2, host::utf8(text.get()).value_or("")});
        return NotReady{2};
    }
    Ref builtins = host::import("builtins");
    Ref mode = builtins ? host::str("exec") : Ref();
    Ref compile = builtins ? host::getattr(builtins.get(), "compile") : Ref();
    Ref flags = Ref::steal(PyLong_FromLong(0));
    program.code = compile && mode && flags
                       ? host::call(compile.get(),
                                    {source.get(), path.get(), mode.get(), flags.get(), Py_True})
                       : Ref();
    if (!program.code) return NotReady{};

    // The globals the interpreter gives a script it runs as __main__.
    Ref machinery = host::import("importlib.machinery");
    Ref loader_type = machinery ? host::getattr(machinery.get(), "SourceFileLoader") : Ref();
    Ref main_name = host::str("__main__");
    Ref loader = loader_type && main_name
                     ? host::call(loader_type.get(), {main_name.get(), path.get()})
                     : Ref();
    program.main = loader ? Ref::steal(PyModule_New("__main__")) : Ref();
    PyObject* globals = program.main ? PyModule_GetDict(program.main.get()) : nullptr;
    if (!globals || !set_item(globals, "__file__", path.get()) ||
        !set_item(globals, "__cached__", Py_None) ||
        !set_item(globals, "__loader__", loader.get()) ||
        !set_item(globals, "__builtins__", builtins.get())) {
        return NotReady{};
    }
    program.root = script_root(os, path.get());
    if (!program.root || !patch.add_root(program.root.get())) return NotReady{};
    return std::nullopt;
}

// An OSError about the trace file names the file, when the tracer's did not.
void name_the_output(PyObject* output) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
    TakenError error = TakenError::take();
    Ref filename = host::getattr(error.get(), "filename");
    if (filename && filename.get() == Py_None) {
        PyObject_SetAttrString(error.get(), "filename", output);
    }
    PyErr_Clear();
    error.restore();
}

// A word as a POSIX shell reads it back: as it is when it holds nothing the shell would take
// apart, else in single quotes.
std::string shell_word(const std::string& word) {
    bool plain = !word.empty();
    for (unsigned char c : word) {
        plain = plain && (std::isalnum(c) || std::strchr("@%+=:,./-_", c) != nullptr || c >= 0x80);
    }
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The line `vespra run` ends with on standard error, once the trace is complete: where it is,
// how big, how to look at it, and how many events it lost.
void report_trace(PyObject* os, PyObject* tracer, const RunArgs& args, PyObject* located) {
    std::string text = "vespra: trace written to " + args.output;
    // Only a regular file's size is the trace's: a pipe or a device has none of its own.
    Ref stat = host::call_method(os, "stat", {located});
    Ref mode = stat ? host::getattr(stat.get(), "st_mode") : Ref();
    Ref size = mode && S_ISREG(PyLong_AsLong(mode.get())) ? host::getattr(stat.get(), "st_size")
                                                          : Ref();
    unsigned long long bytes = size ? PyLong_AsUnsignedLongLong(size.get()) : 0;
    if (size && !PyErr_Occurred()) text += " (" + analysis::format_bytes(bytes) + ")";
    PyErr_Clear();
    // None when the stop could not count them.
    Ref dropped = host::getattr(tracer, "dropped");
    unsigned long long lost =
        dropped && PyLong_Check(dropped.get()) ? PyLong_AsUnsignedLongLong(dropped.get()) : 0;
    if (PyErr_Occurred()) lost = 0;
    PyErr_Clear();
    if (lost > 0) {
        text += ", but " + analysis::with_commas(lost) +
                " events were dropped while recording (--lossless keeps them all, slowing the "
                "program down instead)";
    }
    // Children that outlive the program add their parts when they stop.
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(located));
    std::string where = encoded ? std::string(PyBytes_AS_STRING(encoded.get()),
                                              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())))
                                : args.output;
    PyErr_Clear();
    size_t running = 0;
    for (const parts::PartFile& part : parts::list(where)) running += part.live;
    if (running > 0) {
        text += "; " + std::to_string(running) +
                (running == 1 ? " process of the trace still runs and adds its part"
                              : " processes of the trace still run and add their parts") +
                " when it stops";
    }
    text += "; look at it with `" + args.command + " summary " + shell_word(args.output) +
            "` or `" + args.command + " view " + shell_word(args.output) +
            "` (https://ui.perfetto.dev)\n";
    const TracerData& data = tracer::as_tracer(tracer)->data;
    if (data.deepest_past_viewers > 0) {
        text += "vespra: its calls nest " + analysis::with_commas(data.deepest_past_viewers) +
                " deep, and Perfetto keeps " + std::to_string(SliceLimits::VIEWER_DEPTH) +
                ": it drops the deeper ones and gives the slices around them wrong durations "
                "(--max-depth " + std::to_string(SliceLimits::VIEWER_DEPTH - 1) +
                " keeps it whole; vespra summary and flamegraph read any depth)\n";
    }
    // A mistyped pattern must not pass for a program that ran no code.
    std::vector<std::pair<std::string, std::string>> unmatched;
    if (data.filter) unmatched = data.filter->unmatched();
    for (const auto& [option, pattern] : unmatched) {
        text += "vespra: " + option + " " + shell_word(pattern) + " matched no code in this process";
        bool file_like = pattern.find('/') == std::string::npos && pattern.ends_with(".py");
        if (file_like) text += ": a file pattern needs a / (./" + pattern + ")";
        text += "\n";
    }
    print(Message{Message::Stream::Stderr, 0, std::move(text)});
}

// What the closing line needs while the program runs, for a program that leaves by os._exit:
// the wrapper stops the run and calls close_at_os_exit before the process ends. Only in the
// process that set it: a forked child leaves by os._exit too, and its trace is the parent's.
struct PendingClose {
    PyObject* os;
    PyObject* tracer;
    const RunArgs* args;
    PyObject* located;
    pid_t pid;
};
PendingClose* PENDING_CLOSE = nullptr;

void close_at_os_exit() {
    PendingClose* pending = PENDING_CLOSE;
    if (!pending || pending->pid != getpid()) return;
    PENDING_CLOSE = nullptr;
    TakenError error = TakenError::take();
    report_trace(pending->os, pending->tracer, *pending->args, pending->located);
    error.restore();
}

// The Python frames open on this thread now are the launcher's (the `vespra` script): the trace
// begins with the program's own.
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

// Why the trace cannot go to `output`, or nothing. The trace is one file that every traced
// process of the program adds its records to, and it would be mixed into the program's own
// output on its standard output or error ("-", /dev/stdout, /dev/fd/2). Other files that are
// not regular (a FIFO whose reader takes the trace, /dev/null) are written like any file.
std::optional<std::string> unfit_output(const std::string& output) {
    constexpr const char* WHY =
        ": the trace would be mixed with the program's own output, and it is joined from the "
        "writes of every process the program starts; give a file name (-o trace.pb)";
    if (output == "-") return std::string("a trace cannot go to standard output") + WHY;
    struct stat target;
    if (::stat(output.c_str(), &target) != 0) return std::nullopt;
    for (auto [fd, name] : {std::pair{1, "standard output"}, std::pair{2, "standard error"}}) {
        struct stat stream;
        // A device that is no terminal (/dev/null) mixes nothing into anything.
        bool harmless = S_ISCHR(target.st_mode) && !::isatty(fd);
        if (!harmless && ::fstat(fd, &stream) == 0 && stream.st_dev == target.st_dev &&
            stream.st_ino == target.st_ino) {
            return std::string("this is the ") + name + WHY;
        }
    }
    return std::nullopt;
}

// Runs the parsed command under a tracer. Returns the exit status (as a Python int), or raises.
PyObject* run(PyObject* module, const RunArgs& args) {
    if (std::optional<std::string> why = unfit_output(args.output)) {
        print(Message{Message::Stream::Stderr, 1, "vespra: " + args.output + ": " + *why + "\n"});
        return PyLong_FromLong(1);
    }
    Ref os = host::import("os");
    Ref sys = os ? host::import("sys") : Ref();
    if (!sys) return nullptr;
    SysForProgram patch(sys.get());
    Program program;
    Ref target = word_to_str(args.runs_module() ? args.module.front() : args.script);
    if (!target) return nullptr;
    std::optional<NotReady> not_ready;
    if (args.runs_module()) {
        // `python -m` imports from the current directory.
        program.root = host::call_method(os.get(), "getcwd", {});
        not_ready = program.root ? find_module(patch, target.get(), program) : NotReady{};
    } else {
        not_ready = load_script(os.get(), patch, target.get(), program);
    }
    if (not_ready) return not_ready->status != 0 ? PyLong_FromLong(not_ready->status) : nullptr;

    // Processes that join the trace from another directory get the path from the tracer, which
    // exports it made absolute.
    Ref output = word_to_str(args.output);
    Ref os_path = output ? host::getattr(os.get(), "path") : Ref();
    Ref located = os_path ? host::call_method(os_path.get(), "abspath", {output.get()}) : Ref();
    if (!located) return nullptr;
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
    Ref format = args.format.empty() ? Ref::borrow(Py_None) : word_to_str(args.format);
    Ref tracer_type = format ? host::getattr(module, "Tracer") : Ref();
    // Positional in the order of Tracer(output, format, lossless); the process's name is the
    // start's to choose, and the rest go by keyword.
    Ref positional = tracer_type ? Ref::steal(PyTuple_Pack(3, output.get(), format.get(),
                                                           args.lossless ? Py_True : Py_False))
                                 : Ref();
    Ref keywords = positional ? Ref::steal(PyDict_New()) : Ref();
    if (!keywords) return nullptr;
    for (const auto& [name, patterns] :
         {std::pair{"include", &args.include}, std::pair{"exclude", &args.exclude},
          std::pair{"args", &args.arg_patterns}, std::pair{"returns", &args.return_patterns}}) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItemString(keywords.get(), name, list.get()) < 0) return nullptr;
        for (const std::string& pattern : *patterns) {
            Ref item = word_to_str(pattern);
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
    }
    for (const auto& [name, on] :
         {std::pair{"gc", args.gc}, std::pair{"exclude_stdlib", args.exclude_stdlib},
          std::pair{"exclude_site_packages", args.exclude_site_packages},
          std::pair{"c_calls", args.c_calls}, std::pair{"exceptions", args.exceptions},
          std::pair{"args_repr", args.args_repr}}) {
        if (PyDict_SetItemString(keywords.get(), name, on ? Py_True : Py_False) < 0) return nullptr;
    }
    if (args.ring != 0) {
        Ref ring = Ref::steal(PyLong_FromUnsignedLongLong(args.ring));
        if (!ring || PyDict_SetItemString(keywords.get(), "ring", ring.get()) < 0) return nullptr;
    }
    Ref tracer = Ref::steal(PyObject_Call(tracer_type.get(), positional.get(), keywords.get()));
    if (!tracer) {
        name_the_output(output.get());
        return nullptr;
    }
    SliceLimits& limits = tracer::as_tracer(tracer.get())->data.limits;
    if (args.min_duration) limits.min_duration = *args.min_duration;
    if (args.max_depth) limits.max_depth = *args.max_depth;

    // The program sees itself as invoked with its own words.
    Ref new_argv = Ref::steal(PyList_New(0));
    if (!new_argv || PyList_Append(new_argv.get(), program.argv0.get()) < 0) return nullptr;
    auto first_arg = args.runs_module() ? args.module.begin() + 1 : args.script_args.begin();
    auto last_arg = args.runs_module() ? args.module.end() : args.script_args.end();
    for (auto word = first_arg; word != last_arg; ++word) {
        Ref item = word_to_str(*word);
        if (!item || PyList_Append(new_argv.get(), item.get()) < 0) return nullptr;
    }
    if (!patch.enter(new_argv.get(), program.main.get())) return nullptr;
    // The trace names the process after the program, not after the launcher.
    naming::name(target.get(), !args.runs_module());

    hide_launcher_frames(tracer::as_tracer(tracer.get())->data);
    tracer::as_tracer(tracer.get())->data.reports_drops = true;  // report_trace says it
    PendingClose pending{os.get(), tracer.get(), &args, located.get(), getpid()};
    if (!args.quiet) {
        PENDING_CLOSE = &pending;
        tracer::after_stop_at_os_exit = close_at_os_exit;
    }
    Ref entered = host::call_method(tracer.get(), "__enter__", {});
    if (!entered) {
        PENDING_CLOSE = nullptr;
        name_the_output(output.get());
        return nullptr;
    }
    PyObject* globals = PyModule_GetDict(program.main.get());
    Ref result = Ref::steal(PyEval_EvalCode(program.code.get(), globals, globals));
    TakenError run_error = result ? TakenError() : TakenError::take();
    PENDING_CLOSE = nullptr;

    // The trace is complete before the program's exception (SystemExit included) goes on.
    Ref exited = host::call_method(tracer.get(), "__exit__", {Py_None, Py_None, Py_None});
    if (exited && !args.quiet) report_trace(os.get(), tracer.get(), args, located.get());
    TakenError exit_error = exited ? TakenError() : TakenError::take();
    if (run_error) {
        run_error.restore();
        return nullptr;
    }
    if (exit_error) {
        exit_error.restore();
        name_the_output(output.get());
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
    int status = result.status;
    if (!result.out.empty()) status = print_output(std::move(result.out), status);
    if (!result.err.empty()) print(Message{Message::Stream::Stderr, 0, std::move(result.err)});
    return PyLong_FromLong(status);
}

// A pipe set as the signal module's wakeup descriptor (which gets the number of each signal
// that comes) while it lives (when this is the main
// thread; else none: read_end() is -1), and the previous one set back after.
class WakeupFd {
  public:
    WakeupFd() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0) return;
        Ref signal = host::import("signal");
        Ref fd = Ref::steal(PyLong_FromLong(fds[1]));
        previous_ =
            signal && fd ? host::call_method(signal.get(), "set_wakeup_fd", {fd.get()}) : Ref();
        PyErr_Clear();
        if (!previous_) {
            ::close(fds[0]), ::close(fds[1]);
            return;
        }
        read_ = fds[0], write_ = fds[1];
    }
    ~WakeupFd() {
        if (read_ < 0) return;
        Ref signal = host::import("signal");
        Ref restored =
            signal ? host::call_method(signal.get(), "set_wakeup_fd", {previous_.get()}) : Ref();
        PyErr_Clear();
        ::close(read_), ::close(write_);
    }
    WakeupFd(const WakeupFd&) = delete;
    WakeupFd& operator=(const WakeupFd&) = delete;
    int read_end() const { return read_; }
    // Reads what the handler wrote; true when `signal` was among it.
    bool took(int signal) {
        bool found = false;
        unsigned char numbers[64];
        for (ssize_t n; read_ >= 0 && (n = ::read(read_, numbers, sizeof numbers)) > 0;) {
            for (ssize_t i = 0; i < n; ++i) found = found || numbers[i] == signal;
        }
        return found;
    }

  private:
    Ref previous_;
    int read_ = -1, write_ = -1;
};

// Runs `view`: serves the trace, opens the UI on it, and waits until the UI has read it or
// Ctrl-C. The waits run detached; a signal brings the wait back here for its handler to run.
PyObject* view(const analysis::ViewOptions& options) {
    using analysis::TraceServer;
    // A signal that comes while this thread is attached runs its handler at the next bytecode,
    // which a write of a message may run and lose the KeyboardInterrupt in; and while the server
    // waits in poll() no bytecode runs at all. The signal module's wakeup descriptor keeps
    // each signal for the wait to see, from here on.
    WakeupFd wake;
    auto say = [](std::string text) {
        print(Message{Message::Stream::Stderr, 0, std::move(text)});
    };
    std::string ui = options.ui.empty() ? analysis::PERFETTO_UI : options.ui;
    while (ui.ends_with('/')) ui.pop_back();
    std::optional<Result<TraceServer>> opened;
    {
        host::Detached detached;
        opened.emplace(
            TraceServer::open(options.trace, analysis::VIEW_PORT, analysis::url_origin(ui)));
    }
    if (!*opened) {
        const IoError& error = opened->error();
        const std::string port = std::to_string(analysis::VIEW_PORT);
        if (error.kind() == IoError::Kind::Os && error.os_errno() == EADDRINUSE) {
            say("vespra: port " + port +
                " of 127.0.0.1 is taken, by another `vespra view` or a "
                "`trace_processor --httpd` perhaps; the Perfetto UI loads a trace from this "
                "machine only through that port: stop the other server (`ss -ltnp 'sport = :" +
                port +
                "'` names it) and try again, or open the file in the UI with \"Open trace "
                "file\"\n");
        } else {
            say("vespra: " +
                (error.kind() == IoError::Kind::Os ? "127.0.0.1:" + port + ": " + error.text()
                                                   : error.text()) +
                "\n");
        }
        return PyLong_FromLong(1);
    }
    TraceServer& server = opened->value();
    const std::string address =
        "http://127.0.0.1:" + std::to_string(analysis::VIEW_PORT) + server.path();
    const std::string link = ui + "/#!/?url=" + address;
    if (server.size() > analysis::VIEW_SIZE_LIMIT) {
        say("vespra: warning: " + options.trace + " is " + analysis::format_bytes(server.size()) +
            ", and the Perfetto UI often fails on traces above " +
            analysis::format_bytes(analysis::VIEW_SIZE_LIMIT) +
            " (it holds the trace in the tab's memory, which browsers limit to about 2 GB); cut "
            "it down first, to a time window, a process or a thread:\n  vespra cut " +
            shell_word(options.trace) + " -o smaller" +
            (options.trace.ends_with(".json") ? ".json" : ".pb") + " --from 0s --to 10s\n");
    }
    say("vespra: serving " + options.trace + " (" + analysis::format_bytes(server.size()) +
        ") at " + address + " until the Perfetto UI has loaded it; Ctrl-C stops\n");
    bool opened_browser = false;
    if (options.open) {
        Ref webbrowser = host::import("webbrowser");
        Ref url = word_to_str(link);
        Ref done =
            webbrowser && url ? host::call_method(webbrowser.get(), "open", {url.get()}) : Ref();
        opened_browser = done && PyObject_IsTrue(done.get()) == 1;
        PyErr_Clear();
    }
    if (opened_browser) {
        say("vespra: opened " + link + " in the browser\n");
    } else {
        if (options.open) say("vespra: no browser could be opened here; open this link:\n");
        print(Message{Message::Stream::Stdout, 0, link + "\n"});
        say("vespra: on a machine reached over SSH, forward the port first, from your own "
            "machine: ssh -L " +
            std::to_string(analysis::VIEW_PORT) +
            ":127.0.0.1:" + std::to_string(analysis::VIEW_PORT) + " HOST\n");
    }
    say("vespra: Safari refuses to fetch http:// from the UI's https:// page: use Chrome or "
        "Firefox, or open the file in the UI with \"Open trace file\"\n");
    for (;;) {
        bool interrupted = wake.took(SIGINT);
        if (PyErr_CheckSignals() < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
            PyErr_Clear();
            interrupted = true;
        }
        if (interrupted) {
            say("vespra: stopped before the trace was served\n");
            return PyLong_FromLong(130);
        }
        std::optional<Result<TraceServer::Outcome>> outcome;
        {
            host::Detached detached;
            outcome.emplace(server.serve(wake.read_end()));
        }
        if (!*outcome) {
            say("vespra: " + address + ": " + outcome->error().text() + "\n");
            return PyLong_FromLong(1);
        }
        if (outcome->value() == TraceServer::Outcome::Served) {
            say("vespra: the trace has been served; stopped\n");
            return PyLong_FromLong(0);
        }
    }
}

// The processes whose parent is `pid`, their children, and so on, as /proc has them now.
std::vector<int> descendants(int pid) {
    std::vector<std::pair<int, int>> parents;  // (child, parent)
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            int child = std::atoi(entry->d_name);
            if (child <= 0) continue;
            std::string stat;
            int fd = ::open(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), O_RDONLY);
            if (fd < 0) continue;
            char buf[512];
            ssize_t n = ::read(fd, buf, sizeof buf - 1);
            ::close(fd);
            if (n <= 0) continue;
            stat.assign(buf, static_cast<size_t>(n));
            // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
            size_t close = stat.rfind(')');
            if (close == std::string::npos || close + 4 >= stat.size()) continue;
            parents.emplace_back(child, std::atoi(stat.c_str() + close + 4));
        }
        closedir(proc);
    }
    std::vector<int> found{pid};
    for (size_t i = 0; i < found.size(); ++i) {
        for (const auto& [child, parent] : parents)
            if (parent == found[i]) found.push_back(child);
    }
    found.erase(found.begin());
    return found;
}

// `vespra dump`: sends the dump signal; each traced process writes its dump and says where on
// its own standard error.
PyObject* dump(const DumpArgs& args) {
    std::vector<int> pids{args.pid};
    if (args.tree) {
        std::vector<int> more = descendants(args.pid);
        pids.insert(pids.end(), more.begin(), more.end());
    }
    std::string asked;
    for (int pid : pids) {
        if (::kill(pid, dumps::DUMP_SIGNAL) == 0) {
            asked += (asked.empty() ? "" : ", ") + std::to_string(pid);
        } else if (pid == args.pid) {
            print(Message{Message::Stream::Stderr, 1,
                          "vespra: process " + std::to_string(pid) + ": " +
                              IoError::os(errno).text() + "\n"});
            return PyLong_FromLong(1);
        }
    }
    print(Message{Message::Stream::Stderr, 0,
                  "vespra: asked process" + std::string(pids.size() > 1 ? "es " : " ") + asked +
                      " for a dump (SIGURG): a process that traces with a ring writes it beside "
                      "its trace, as NAME.PID.N.EXT, and says so on its standard error\n"});
    return PyLong_FromLong(0);
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
    if (auto* run_args = std::get_if<RunArgs>(&cli); run_args && !words->front().empty()) {
        run_args->command = words->front();
    }
    if (const auto* summary = std::get_if<analysis::SummaryOptions>(&cli)) {
        return analyse(*summary, analysis::summary);
    }
    if (const auto* flamegraph = std::get_if<analysis::FlamegraphOptions>(&cli)) {
        return analyse(*flamegraph, analysis::flamegraph);
    }
    if (const auto* join = std::get_if<analysis::JoinOptions>(&cli)) {
        return analyse(*join, analysis::join);
    }
    if (const auto* cut = std::get_if<analysis::CutOptions>(&cli)) {
        return analyse(*cut, analysis::cut);
    }
    if (const auto* view_options = std::get_if<analysis::ViewOptions>(&cli)) {
        return view(*view_options);
    }
    if (const auto* asked = std::get_if<DumpArgs>(&cli)) return dump(*asked);
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
