"""A strict reader of vespra's protobuf traces for the tests, in plain standard-library Python,
independent of the writer's code: a fault the two shared would go unseen.

read_packets(path): every packet, in file order, as a dict of the fields vespra writes (named as
in Perfetto's trace proto). slices(path) and marks(path): the events resolved the way a viewer
resolves them. An unknown field, a wrong wire type, a length past its message, an iid never
interned or an event on an undescribed track raises ValueError: reading checks the trace.
"""

import dataclasses
import struct

U, I32, S, F64 = "u", "i32", "s", "f64"  # varint, varint as int32, string, double; else a message
# message -> field number -> (name, kind); a kind in a list is a repeated field.
_SCHEMA = {
    "TracePacket": {6: ("clock_snapshot", "ClockSnapshot"), 8: ("timestamp", U),
                    10: ("trusted_packet_sequence_id", U), 11: ("track_event", "TrackEvent"),
                    12: ("interned_data", "InternedData"), 13: ("sequence_flags", U),
                    58: ("timestamp_clock_id", U), 60: ("track_descriptor", "TrackDescriptor"),
                    59: ("trace_packet_defaults", "TracePacketDefaults")},
    "ClockSnapshot": {1: ("clocks", ["Clock"]), 2: ("primary_trace_clock", U)},
    "Clock": {1: ("clock_id", U), 2: ("timestamp", U), 3: ("is_incremental", U),
              4: ("unit_multiplier_ns", U)},
    "TrackEvent": {3: ("category_iids", [U]), 4: ("debug_annotations", ["DebugAnnotation"]),
                   9: ("type", U), 10: ("name_iid", U), 11: ("track_uuid", U),
                   22: ("categories", [S]), 23: ("name", S), 30: ("counter_value", U),
                   34: ("source_location_iid", U), 44: ("double_counter_value", F64)},
    "DebugAnnotation": {1: ("name_iid", U), 2: ("bool_value", U), 3: ("uint_value", U),
                        4: ("int_value", U), 5: ("double_value", F64), 6: ("string_value", S)},
    "TrackDescriptor": {1: ("uuid", U), 2: ("name", S), 3: ("process", "ProcessDescriptor"),
                        4: ("thread", "ThreadDescriptor"), 5: ("parent_uuid", U),
                        8: ("counter", "CounterDescriptor")},
    "CounterDescriptor": {},
    "ProcessDescriptor": {1: ("pid", I32), 2: ("cmdline", [S]), 6: ("process_name", S)},
    "ThreadDescriptor": {1: ("pid", I32), 2: ("tid", I32), 5: ("thread_name", S)},
    "InternedData": {1: ("event_categories", ["Interned"]), 2: ("event_names", ["Interned"]),
                     3: ("debug_annotation_names", ["Interned"]),
                     4: ("source_locations", ["SourceLocation"])},
    "Interned": {1: ("iid", U), 2: ("name", S)},
    "SourceLocation": {1: ("iid", U), 2: ("file_name", S), 3: ("function_name", S),
                       4: ("line_number", U)},
    "TracePacketDefaults": {11: ("track_event_defaults", "TrackEventDefaults"),
                            58: ("timestamp_clock_id", U)},
    "TrackEventDefaults": {11: ("track_uuid", U)},
}


def _varint(data, pos, end):
    if pos < end and data[pos] < 0x80:  # most are one byte
        return data[pos], pos + 1
    value = shift = 0
    while shift < 70:
        if pos >= end:
            raise ValueError(f"truncated varint at byte {pos}")
        value |= (data[pos] & 0x7F) << shift
        pos += 1
        if data[pos - 1] < 0x80:
            return value & 0xFFFFFFFFFFFFFFFF, pos
        shift += 7
    raise ValueError(f"varint longer than ten bytes at byte {pos}")


def _message(data, pos, end, kind):
    fields, out = _SCHEMA[kind], {}
    while pos < end:
        at = pos
        key, pos = _varint(data, pos, end)
        if key >> 3 not in fields:
            raise ValueError(f"unknown field {key >> 3} in {kind} at byte {at}")
        name, how = fields[key >> 3]
        repeated = isinstance(how, list)
        how = how[0] if repeated else how
        if key & 7 != (0 if how in (U, I32) else 1 if how == F64 else 2):
            raise ValueError(f"{kind}.{name} has wire type {key & 7} at byte {at}")
        if how == F64:
            if pos + 8 > end:
                raise ValueError(f"{kind}.{name} runs past the end at byte {at}")
            value, pos = struct.unpack_from("<d", data, pos)[0], pos + 8
        else:
            value, pos = _varint(data, pos, end)
        if how == I32:
            value = (value & 0xFFFFFFFF) - ((value & 0x80000000) << 1)
        elif how not in (U, F64):
            if value > end - pos:
                raise ValueError(f"length {value} runs past the end at byte {at}")
            start, pos = pos, pos + value
            value = data[start:pos].decode() if how == S else _message(data, start, pos, how)
        if repeated:
            out.setdefault(name, []).append(value)
        elif name in out:
            raise ValueError(f"{kind}.{name} appears twice at byte {at}")
        else:
            out[name] = value
    return out


def read_packets(path):
    """Every packet of the trace file at `path`, in file order. Packets that differ only in
    their timestamp share their nested dicts: read them, do not change them."""
    with open(path, "rb") as f:
        data = f.read()
    packets, seen, pos = [], {}, 0
    while pos < len(data):
        at = pos
        if data[pos] != 0x0A:
            raise ValueError(f"not a Trace.packet field at byte {at}")
        n, pos = _varint(data, pos + 1, len(data))
        stop = pos + n
        if stop > len(data):
            raise ValueError(f"length {n} runs past the end at byte {at}")
        # Most packets differ only in their timestamp, which comes first: the rest is decoded
        # once per distinct bytes.
        ts = None
        if pos < stop and data[pos] == 0x40:
            ts, pos = _varint(data, pos + 1, stop)
        rest = data[pos:stop]
        packet = seen.get(rest)
        if packet is None:
            try:
                packet = seen[rest] = _message(rest, 0, len(rest), "TracePacket")
            except ValueError as e:
                raise ValueError(f"packet at byte {at}: {e}") from None
            if ts is not None and "timestamp" in packet:
                raise ValueError(f"packet at byte {at}: TracePacket.timestamp appears twice")
        packets.append(dict(packet) if ts is None else {"timestamp": ts, **packet})
        pos = stop
    return packets


BOOTTIME = 6  # the trace's clock when nothing names another


@dataclasses.dataclass
class ThreadTrace:
    """One track: its name and, in file order, its events as (ts, "B" | "E" | "I", name), an end
    named after the slice it closed (None when nothing was open), ts on the trace's clock;
    parallel to them each event's (file, function, line) or None, and its arguments."""

    name: str | None = None
    events: list = dataclasses.field(default_factory=list)
    places: list = dataclasses.field(default_factory=list)
    args: list = dataclasses.field(default_factory=list)


class _Sequence:
    def __init__(self):
        self.names, self.categories, self.arg_names, self.locations = {}, {}, {}, {}
        self.clock = self.track = None  # the defaults' clock and track
        self.clocks = {}  # id -> [value, trace time minus value at the snapshot, incremental]

    def time(self, p, i):
        """The packet's timestamp on the trace's clock, as trace_processor converts it: clocks
        64-127 belong to the sequence, tied to the trace's by a snapshot; an incremental clock's
        timestamps are deltas that move its value."""
        clock, ts = p.get("timestamp_clock_id", self.clock), p.get("timestamp")
        if ts is None or clock in (None, BOOTTIME):
            return ts
        if not 64 <= clock <= 127:
            raise ValueError(f"packet {i}: timestamp on clock {clock}, which vespra never uses")
        state = self.clocks.get(clock)
        if state is None:
            raise ValueError(f"packet {i}: timestamp on sequence clock {clock} before its snapshot")
        if state[2]:
            state[0] += ts
            ts = state[0]
        return ts + state[1]

    def snapshot(self, p, i):
        if "track_event" in p or "track_descriptor" in p or "interned_data" in p:
            raise ValueError(f"packet {i}: a clock snapshot shares its packet: a viewer ignores it")
        clocks = {c["clock_id"]: c for c in p["clock_snapshot"].get("clocks", ())}
        if BOOTTIME not in clocks:
            raise ValueError(f"packet {i}: a clock snapshot without the trace's clock")
        for cid, c in clocks.items():
            if cid != BOOTTIME and (not 64 <= cid <= 127 or c.get("unit_multiplier_ns", 1) != 1):
                raise ValueError(f"packet {i}: clock {cid} in a snapshot: vespra never writes it")
            self.clocks[cid] = [c["timestamp"], clocks[BOOTTIME]["timestamp"] - c["timestamp"],
                                bool(c.get("is_incremental"))]

    def lookup(self, table, iid, what, i):
        if iid not in table:
            raise ValueError(f"packet {i}: {what} iid {iid} not interned")
        return table[iid]


def _signed(v):
    return v - (1 << 64) if v >= 1 << 63 else v


def _resolve(path):
    """(track names, events, counters) of the trace: track names {key: name}, keyed (pid, tid)
    for a thread (tid unsigned 32-bit), (pid, None) for a process and (pid, name) for an asyncio
    task; events [(key, ts, type, name, place, categories, args)] in file order; counters
    {(pid, name): [(ts, value)]}."""
    keys, counter_keys, names, events, counters, seqs = {}, set(), {}, [], {}, {}
    for i, p in enumerate(read_packets(path)):
        seq_id = p.get("trusted_packet_sequence_id")
        if p.get("sequence_flags", 0) & 1 or seq_id not in seqs:  # incremental state cleared
            seqs[seq_id] = _Sequence()
        seq = seqs[seq_id]
        interned = p.get("interned_data")
        if interned:
            for field, table in (("event_names", seq.names), ("event_categories", seq.categories),
                                 ("debug_annotation_names", seq.arg_names)):
                table.update((e["iid"], e["name"]) for e in interned.get(field, ()))
            seq.locations.update((e["iid"], (e["file_name"], e["function_name"],
                                             e["line_number"]))
                                 for e in interned.get("source_locations", ()))
        defaults = p.get("trace_packet_defaults")
        if defaults:
            seq.clock = defaults.get("timestamp_clock_id", seq.clock)
            seq.track = defaults.get("track_event_defaults", {}).get("track_uuid", seq.track)
        if "clock_snapshot" in p:
            seq.snapshot(p, i)
            continue
        ts = seq.time(p, i) or 0
        desc = p.get("track_descriptor")
        if desc is not None:
            if "thread" in desc:
                t = desc["thread"]
                key, name = (t["pid"], t["tid"] & 0xFFFFFFFF), t.get("thread_name")
            elif "process" in desc:
                key, name = (desc["process"]["pid"], None), desc.get("name")
            else:  # a counter's or an asyncio task's track under its process
                key, name = (keys[desc["parent_uuid"]][0], desc["name"]), desc["name"]
            keys[desc["uuid"]] = key
            if "counter" in desc:
                counter_keys.add(key)
            else:
                names[key] = name
        ev = p.get("track_event")
        if ev is None:
            continue
        key = keys.get(ev.get("track_uuid", seq.track))
        if key is None:
            raise ValueError(f"packet {i}: event on an undescribed track")
        if key in counter_keys:
            value = ev.get("double_counter_value")
            counters.setdefault(key, []).append((ts, _signed(ev["counter_value"])
                                                 if value is None else value))
            continue
        name = ev.get("name")
        if "name_iid" in ev:
            name = seq.lookup(seq.names, ev["name_iid"], "name", i)
        place = None
        if "source_location_iid" in ev:
            place = seq.lookup(seq.locations, ev["source_location_iid"], "source location", i)
        cats = [seq.lookup(seq.categories, c, "category", i) for c in ev.get("category_iids", ())]
        args = {}
        for a in ev.get("debug_annotations", ()):
            value = next(v for k, v in a.items() if k != "name_iid")
            if "int_value" in a or "bool_value" in a:
                value = _signed(value) if "int_value" in a else bool(value)
            args[seq.lookup(seq.arg_names, a["name_iid"], "annotation name", i)] = value
        events.append((key, ts, ev.get("type"), name, place, cats, args))
    return names, events, counters


def slices(path):
    """{track key: ThreadTrace} of every track but the counters' (keys as in _resolve)."""
    names, events, _ = _resolve(path)
    out = {key: ThreadTrace(name) for key, name in names.items()}
    stacks = {}
    for key, ts, kind, name, place, _, args in events:
        stack = stacks.setdefault(key, [])
        if kind == 1:
            stack.append(name)
        elif kind == 2:
            name = stack.pop() if stack else None
        out[key].events.append((ts, {1: "B", 2: "E"}.get(kind, "I"), name))
        out[key].places.append(place)
        out[key].args.append(args)
    return out


def marks(path):
    """The program's own marks: (events, counters). events maps a track's key to its
    (ts, "B" | "E" | "I", name, category, args) of span begins, instants, and the function begins
    and ends that carry arguments (an end without a name), in file order; counters maps
    (pid, counter name) to its [(ts, value)]."""
    _, events, counters = _resolve(path)
    out = {}
    for key, ts, kind, name, _, cats, args in events:
        if args or (kind != 2 and {"span", "mark"} & set(cats)):
            out.setdefault(key, []).append((ts, {1: "B", 2: "E"}.get(kind, "I"), name,
                                            cats[0] if cats else None, args))
    return out, counters


def process_names(path):
    """{pid: (process_name, cmdline, track name)} from the last descriptor of each process track:
    a process may be named again after it started."""
    return {d["process"]["pid"]: (d["process"].get("process_name"),
                                  d["process"].get("cmdline", []), d.get("name"))
            for d in (p.get("track_descriptor", {}) for p in read_packets(path)) if "process" in d}
