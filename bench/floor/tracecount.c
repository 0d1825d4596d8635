/* _vespra_tracecount: counts the function events and the reported losses in a trace file.
 *
 * The overhead benchmark needs, for every traced run, how many events reached the file and how
 * many the tracer says it dropped. Traces of call-heavy programs hold tens of millions of events
 * (hundreds of megabytes to gigabytes), which a pure-Python wire reader takes minutes to walk; this
 * reader does it at memory speed. It is written from the file formats alone and shares no code
 * with the writers it checks.
 *
 *   protobuf(buffer) -> (packets, begins, ends, dropped)
 *       A Perfetto packet stream: a concatenation of `Trace.packet` fields (key 0x0A, length,
 *       TracePacket). begins/ends count TrackEvents of type SLICE_BEGIN (1) / SLICE_END (2);
 *       dropped sums N over instant events (type 3) named "vespra: N events dropped".
 *   json(buffer) -> (records, begins, ends, dropped)
 *       A Trace Event Format array: begins/ends count "ph":"B" / "ph":"E" records (a quote inside
 *       a JSON string is escaped, so the pattern cannot occur inside names or file names);
 *       dropped sums "count" over "vespra_dropped_events" metadata records; records counts
 *       top-level objects.
 *
 * Both take any object with the buffer protocol (bytes, mmap) and raise ValueError on a stream
 * that is cut short or malformed.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

typedef struct {
    const uint8_t *p;
    const uint8_t *end;
} Cursor;

/* Reads one varint; returns 0 when it runs past the end or is longer than ten bytes. */
static int read_varint(Cursor *c, uint64_t *out) {
    uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
        if (c->p >= c->end) {
            return 0;
        }
        uint8_t byte = *c->p++;
        value |= (uint64_t)(byte & 0x7F) << shift;
        if (byte < 0x80) {
            *out = value;
            return 1;
        }
    }
    return 0;
}

/* Skips the value of a field of the given wire type; 0 on a truncated or unknown one. */
static int skip_value(Cursor *c, unsigned wire) {
    uint64_t v;
    switch (wire) {
        case 0:
            return read_varint(c, &v);
        case 1:
        case 5: {
            size_t n = wire == 1 ? 8 : 4;
            if ((size_t)(c->end - c->p) < n) {
                return 0;
            }
            c->p += n;
            return 1;
        }
        case 2:
            if (!read_varint(c, &v) || v > (uint64_t)(c->end - c->p)) {
                return 0;
            }
            c->p += v;
            return 1;
        default:
            return 0;
    }
}

/* Parses "vespra: N events dropped"; returns N, or 0 for any other name. */
static uint64_t dropped_in_name(const uint8_t *s, size_t n) {
    static const char prefix[] = "vespra: ";
    static const char suffix[] = " events dropped";
    size_t np = sizeof(prefix) - 1, ns = sizeof(suffix) - 1;
    if (n <= np + ns || memcmp(s, prefix, np) != 0 || memcmp(s + n - ns, suffix, ns) != 0) {
        return 0;
    }
    uint64_t value = 0;
    for (size_t i = np; i < n - ns; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return 0;
        }
        value = value * 10 + (uint64_t)(s[i] - '0');
    }
    return value;
}

typedef struct {
    uint64_t packets, begins, ends, dropped;
    Py_ssize_t bad_offset; /* -1 when the stream is well formed */
} ProtoCounts;

/* TrackEvent: type is field 9 (varint), name field 23 (string). */
static int read_track_event(Cursor body, ProtoCounts *out) {
    uint64_t type = 0;
    const uint8_t *name = NULL;
    size_t name_len = 0;
    while (body.p < body.end) {
        uint64_t key;
        if (!read_varint(&body, &key)) {
            return 0;
        }
        if (key == (9 << 3 | 0)) {
            if (!read_varint(&body, &type)) {
                return 0;
            }
        } else if (key == (23 << 3 | 2)) {
            uint64_t n;
            if (!read_varint(&body, &n) || n > (uint64_t)(body.end - body.p)) {
                return 0;
            }
            name = body.p;
            name_len = (size_t)n;
            body.p += n;
        } else if (!skip_value(&body, (unsigned)(key & 7))) {
            return 0;
        }
    }
    if (type == 1) {
        out->begins++;
    } else if (type == 2) {
        out->ends++;
    } else if (type == 3 && name != NULL) {
        out->dropped += dropped_in_name(name, name_len);
    }
    return 1;
}

static void count_protobuf(const uint8_t *data, size_t size, ProtoCounts *out) {
    Cursor c = {data, data + size};
    while (c.p < c.end) {
        const uint8_t *frame = c.p;
        uint64_t key, len;
        if (!read_varint(&c, &key) || key != (1 << 3 | 2) || !read_varint(&c, &len) ||
            len > (uint64_t)(c.end - c.p)) {
            out->bad_offset = frame - data;
            return;
        }
        Cursor packet = {c.p, c.p + len};
        c.p += len;
        out->packets++;
        /* TracePacket: track_event is field 11. */
        while (packet.p < packet.end) {
            uint64_t field;
            if (!read_varint(&packet, &field)) {
                out->bad_offset = frame - data;
                return;
            }
            if (field == (11 << 3 | 2)) {
                uint64_t n;
                if (!read_varint(&packet, &n) || n > (uint64_t)(packet.end - packet.p) ||
                    !read_track_event((Cursor){packet.p, packet.p + n}, out)) {
                    out->bad_offset = frame - data;
                    return;
                }
                packet.p += n;
            } else if (!skip_value(&packet, (unsigned)(field & 7))) {
                out->bad_offset = frame - data;
                return;
            }
        }
    }
}

typedef struct {
    uint64_t records, begins, ends, dropped;
    Py_ssize_t bad_offset;
} JsonCounts;

static size_t count_pattern(const uint8_t *data, size_t size, const char *pattern) {
    size_t n = strlen(pattern), count = 0;
    const uint8_t *p = data, *end = data + size;
    while ((size_t)(end - p) >= n) {
        const uint8_t *hit = memmem(p, (size_t)(end - p), pattern, n);
        if (hit == NULL) {
            break;
        }
        count++;
        p = hit + n;
    }
    return count;
}

/* Sums N over every {"args":{"count":N},"name":"vespra_dropped_events",...} record. */
static int sum_dropped(const uint8_t *data, size_t size, uint64_t *sum, Py_ssize_t *bad) {
    static const char name[] = "},\"name\":\"vespra_dropped_events\"";
    static const char count[] = "{\"args\":{\"count\":";
    size_t nn = sizeof(name) - 1, nc = sizeof(count) - 1;
    const uint8_t *p = data, *end = data + size;
    while ((size_t)(end - p) >= nn) {
        const uint8_t *hit = memmem(p, (size_t)(end - p), name, nn);
        if (hit == NULL) {
            break;
        }
        const uint8_t *digits_end = hit, *d = hit;
        while (d > data && d[-1] >= '0' && d[-1] <= '9') {
            --d;
        }
        if (d == digits_end || (size_t)(d - data) < nc || memcmp(d - nc, count, nc) != 0) {
            *bad = hit - data;
            return 0;
        }
        uint64_t value = 0;
        for (; d < digits_end; ++d) {
            value = value * 10 + (uint64_t)(*d - '0');
        }
        *sum += value;
        p = hit + nn;
    }
    return 1;
}

static void count_json(const uint8_t *data, size_t size, JsonCounts *out) {
    if (size == 0 || data[0] != '[') {
        out->bad_offset = 0;
        return;
    }
    /* Every record ends with "}," at nesting depth 1 and strings are the only place where braces
     * could hide, so track depth outside strings. */
    int depth = 0, in_string = 0;
    for (size_t i = 1; i < size; ++i) {
        uint8_t ch = data[i];
        if (in_string) {
            if (ch == '\\') {
                ++i;
            } else if (ch == '"') {
                in_string = 0;
            }
        } else if (ch == '"') {
            in_string = 1;
        } else if (ch == '{') {
            ++depth;
        } else if (ch == '}') {
            if (--depth < 0) {
                out->bad_offset = (Py_ssize_t)i;
                return;
            }
            if (depth == 0) {
                out->records++;
            }
        }
    }
    if (depth != 0 || in_string) {
        out->bad_offset = (Py_ssize_t)size;
        return;
    }
    out->begins = count_pattern(data, size, "\"ph\":\"B\"");
    out->ends = count_pattern(data, size, "\"ph\":\"E\"");
    sum_dropped(data, size, &out->dropped, &out->bad_offset);
}

static PyObject *tracecount_protobuf(PyObject *Py_UNUSED(module), PyObject *arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) {
        return NULL;
    }
    ProtoCounts counts = {0, 0, 0, 0, -1};
    Py_BEGIN_ALLOW_THREADS;
    count_protobuf(view.buf, (size_t)view.len, &counts);
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
    if (counts.bad_offset >= 0) {
        return PyErr_Format(PyExc_ValueError, "malformed packet at offset %zd",
                            counts.bad_offset);
    }
    return Py_BuildValue("(KKKK)", (unsigned long long)counts.packets,
                         (unsigned long long)counts.begins, (unsigned long long)counts.ends,
                         (unsigned long long)counts.dropped);
}

static PyObject *tracecount_json(PyObject *Py_UNUSED(module), PyObject *arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) {
        return NULL;
    }
    JsonCounts counts = {0, 0, 0, 0, -1};
    Py_BEGIN_ALLOW_THREADS;
    count_json(view.buf, (size_t)view.len, &counts);
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
    if (counts.bad_offset >= 0) {
        return PyErr_Format(PyExc_ValueError, "malformed trace at offset %zd", counts.bad_offset);
    }
    return Py_BuildValue("(KKKK)", (unsigned long long)counts.records,
                         (unsigned long long)counts.begins, (unsigned long long)counts.ends,
                         (unsigned long long)counts.dropped);
}

static PyMethodDef TRACECOUNT_METHODS[] = {
    {"protobuf", tracecount_protobuf, METH_O,
     "protobuf(buffer)\n--\n\nReturn (packets, begins, ends, dropped) of a Perfetto stream."},
    {"json", tracecount_json, METH_O,
     "json(buffer)\n--\n\nReturn (records, begins, ends, dropped) of a Trace Event array."},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot TRACECOUNT_SLOTS[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, NULL},
};

static struct PyModuleDef TRACECOUNT_MODULE = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_vespra_tracecount",
    .m_doc = "Event and loss counts of protobuf and JSON trace files.",
    .m_size = 0,
    .m_methods = TRACECOUNT_METHODS,
    .m_slots = TRACECOUNT_SLOTS,
};

PyMODINIT_FUNC PyInit__vespra_tracecount(void) { return PyModuleDef_Init(&TRACECOUNT_MODULE); }
