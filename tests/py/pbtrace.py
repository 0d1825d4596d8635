"""A strict reader of vespra's protobuf traces for the tests, in plain standard-library Python.

read_packets(path): every packet, in file order, as a dict of the fields vespra writes (named as
in Perfetto's trace proto). slices(path): each track's events with their names, source locations
and timestamps resolved the way a viewer resolves them, incremental timestamps included. An
unknown field, a wrong wire type or a length that runs past its message raises ValueError, so
reading a trace also checks that it is well formed.
"""

import dataclasses
import struct

__all__ = ["read_packets", "slices", "ThreadTrace", "process_names", "marks"]

U, I32, S = "u", "i32", "s"  # varint, varint read as int32, string; other kinds are messages
F64 = "f64"  # fixed 64 bits, read as a double
# message -> field number -> (name, kind); a kind in a list is a repeated field.
_SCHEMA = {
    "TracePacket": {6: ("clock_snapshot", "ClockSnapshot"), 8: ("timestamp", U),
                    10: ("trusted_packet_sequence_id", U),
                    11: ("track_event", "TrackEvent"), 12: ("interned_data", "InternedData"),
                    13: ("sequence_flags", U), 58: ("timestamp_clock_id", U),
                    60: ("track_descriptor", "TrackDescriptor"),
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
    if pos < end and data[pos] < 0x80:
        return data[pos], pos + 1
    value = shift = 0
    while shift < 64:
        if pos >= end:
            raise ValueError(f"truncated varint at byte {pos}")
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        if b < 0x80:
            return value & 0xFFFFFFFFFFFFFFFF, pos
        shift += 7
    raise ValueError(f"varint longer than ten bytes at byte {pos}")


def _message(data, pos, end, kind):
    fields = _SCHEMA[kind]
    out = {}
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
    packets, seen = [], {}
    pos, end = 0, len(data)
    while pos < end:
        at = pos
        if data[pos] != 0x0A:
            raise ValueError(f"not a Trace.packet field at byte {at}")
        n, pos = _varint(data, pos + 1, end)
        stop = pos + n
        if stop > end:
            raise ValueError(f"length {n} runs past the end at byte {at}")
        # A trace repeats a few events millions of times, so most packets differ only in their
        # timestamp, which comes first: the rest is decoded once per distinct bytes.
        ts = None
        if pos < stop and data[pos] == 0x40:
            ts, pos = _varint(data, pos + 1, stop)
        rest = data[pos:stop]
        packet = seen.get(rest)
        if packet is None:
            try:
                packet = seen[rest] = _message(rest, 0, stop - pos, "TracePacket")
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
    """One track: its name (the thread's, or the process track's) and its events."""

    name: str | None = None
    # (ts, "B" | "E" | "I", name); an end carries the name of the slice it closed, None when
    # nothing was open. ts is on the trace's clock, whatever clock the packet used.
    events: list = dataclasses.field(default_factory=list)
    # Parallel to events: (file_name, function_name, line_number) of a begin that names a
    # source location, else None.
    places: list = dataclasses.field(default_factory=list)


class _Sequence:
    def __init__(self):
        self.names, self.locations, self.track = {}, {}, None
        self.clock = None  # the defaults' timestamp_clock_id
        self.clocks = {}   # clock id -> [value in its own units, trace time at the snapshot
                           #              minus its value there, incremental]


def _packet_time(p, seq, i):
    """The packet's timestamp on the trace's clock, as trace_processor converts it: clock ids
    64-127 belong to the sequence and must have been tied to the trace clock by a snapshot on
    it; an incremental clock's timestamps are deltas that move its value."""
    clock = p.get("timestamp_clock_id", seq.clock)
    ts = p.get("timestamp")
    if ts is None:
        return None
    if clock is None or clock == BOOTTIME:
        return ts
    if not 64 <= clock <= 127:
        raise ValueError(f"packet {i}: timestamp on clock {clock}, which vespra never uses")
    state = seq.clocks.get(clock)
    if state is None:
        raise ValueError(f"packet {i}: timestamp on sequence clock {clock} before its snapshot")
    if state[2]:
        state[0] += ts
        ts = state[0]
    return ts + state[1]


def _snapshot(p, seq, i):
    if "track_event" in p or "track_descriptor" in p or "interned_data" in p:
        raise ValueError(f"packet {i}: a clock snapshot shares its packet, which a viewer ignores")
    clocks = {c["clock_id"]: c for c in p["clock_snapshot"].get("clocks", ())}
    base = clocks.get(BOOTTIME)
    if base is None:
        raise ValueError(f"packet {i}: a clock snapshot without the trace's clock")
    for cid, c in clocks.items():
        if cid == BOOTTIME:
            continue
        if not 64 <= cid <= 127 or c.get("unit_multiplier_ns", 1) != 1:
            raise ValueError(f"packet {i}: clock {cid} in a snapshot, which vespra never writes")
        seq.clocks[cid] = [c["timestamp"], base["timestamp"] - c["timestamp"],
                           bool(c.get("is_incremental"))]


def slices(path):
    """Per track, keyed (pid, tid) for a thread (tid unsigned 32-bit), (pid, None) for a
    process and (pid, name) for an asyncio task's track, the resolved events in file order. Raises ValueError for what a viewer could not
    resolve: an event on an undescribed track, a name or location iid not interned on its
    sequence, a timestamp on a sequence clock no snapshot defined, an event in a snapshot's
    packet."""
    tracks, out, stacks, seqs = {}, {}, {}, {}
    for i, p in enumerate(read_packets(path)):
        seq_id = p.get("trusted_packet_sequence_id")
        if p.get("sequence_flags", 0) & 1 or seq_id not in seqs:  # incremental state cleared
            seqs[seq_id] = _Sequence()
        seq = seqs[seq_id]
        interned = p.get("interned_data", {})
        for entry in interned.get("event_names", ()):
            seq.names[entry["iid"]] = entry["name"]
        for entry in interned.get("source_locations", ()):
            seq.locations[entry["iid"]] = (entry["file_name"], entry["function_name"],
                                           entry["line_number"])
        defaults = p.get("trace_packet_defaults", {})
        seq.clock = defaults.get("timestamp_clock_id", seq.clock)
        seq.track = defaults.get("track_event_defaults", {}).get("track_uuid", seq.track)
        if "clock_snapshot" in p:
            _snapshot(p, seq, i)
            continue
        ts = _packet_time(p, seq, i)
        desc = p.get("track_descriptor")
        if desc is not None and "counter" in desc:
            tracks[desc["uuid"]] = None  # counter samples are no slices: see marks()
        elif desc is not None:
            if "thread" in desc:
                t = desc["thread"]
                key, name = (t["pid"], t["tid"] & 0xFFFFFFFF), t.get("thread_name")
            elif "process" in desc:
                key, name = (desc["process"]["pid"], None), desc.get("name")
            else:  # an asyncio task's track under its process: keyed by its name
                key, name = (tracks[desc["parent_uuid"]][0], desc["name"]), desc["name"]
            tracks[desc["uuid"]] = key
            out.setdefault(key, ThreadTrace()).name = name
        ev = p.get("track_event")
        if ev is None:
            continue
        key = tracks.get(ev.get("track_uuid", seq.track), ())
        if key is None:
            continue
        if key == ():
            raise ValueError(f"packet {i}: event on an undescribed track")
        name = ev.get("name")
        if "name_iid" in ev:
            name = seq.names.get(ev["name_iid"])
            if name is None:
                raise ValueError(f"packet {i}: name iid {ev['name_iid']} not interned")
        place = None
        if "source_location_iid" in ev:
            place = seq.locations.get(ev["source_location_iid"])
            if place is None:
                raise ValueError(f"packet {i}: source location iid "
                                 f"{ev['source_location_iid']} not interned")
        stack, kind = stacks.setdefault(key, []), ev.get("type")
        if kind == 1:
            stack.append(name)
        elif kind == 2:
            name = stack.pop() if stack else None
        out[key].events.append((0 if ts is None else ts, {1: "B", 2: "E"}.get(kind, "I"), name))
        out[key].places.append(place)
    return out


def process_names(path):
    """{pid: (process_name, cmdline, track name)} from the last descriptor of each process track:
    a process may be named again after it started."""
    names = {}
    for p in read_packets(path):
        desc = p.get("track_descriptor", {})
        if "process" in desc:
            proc = desc["process"]
            names[proc["pid"]] = (proc.get("process_name"), proc.get("cmdline", []),
                                  desc.get("name"))
    return names


def _signed(v):
    return v - (1 << 64) if v >= 1 << 63 else v


def marks(path):
    """The program's own marks: (events, counters). events maps (pid, tid) to a list of
    (ts, "B" | "E" | "I", name, category, args) for span begins, instants, and the function
    begins and ends that carry arguments (an end without a name), in file order; counters maps (pid, counter name) to its [(ts, value)]. Names of categories,
    events and arguments are resolved per sequence; an unknown iid raises ValueError."""
    tracks, counter_tracks, seqs, events, counters = {}, {}, {}, {}, {}
    for i, p in enumerate(read_packets(path)):
        seq = seqs.setdefault(p.get("trusted_packet_sequence_id"), [{}, {}, {}, None])
        if p.get("sequence_flags", 0) & 1:
            seq[:] = [{}, {}, {}, None]
        interned = p.get("interned_data", {})
        for table, field in zip(seq[:3], ("event_names", "event_categories",
                                          "debug_annotation_names")):
            for entry in interned.get(field, ()):
                table[entry["iid"]] = entry["name"]
        defaults = p.get("trace_packet_defaults", {}).get("track_event_defaults", {})
        seq[3] = defaults.get("track_uuid", seq[3])
        desc = p.get("track_descriptor")
        if desc is not None:
            if "counter" in desc:
                counter_tracks[desc["uuid"]] = (tracks[desc["parent_uuid"]][0], desc["name"])
            elif "thread" in desc:
                tracks[desc["uuid"]] = (desc["thread"]["pid"], desc["thread"]["tid"] & 0xFFFFFFFF)
            else:
                tracks[desc["uuid"]] = (desc["process"]["pid"], None)
        ev = p.get("track_event")
        if ev is None:
            continue
        uuid = ev.get("track_uuid", seq[3])
        if ev.get("type") == 4:
            value = ev.get("double_counter_value")
            if value is None:
                value = _signed(ev["counter_value"])
            counters.setdefault(counter_tracks[uuid], []).append((p.get("timestamp", 0), value))
            continue
        cats = [seq[1][c] for c in ev.get("category_iids", ())]
        # A span's end is a slice end like a function's: only one with arguments is listed.
        if ev.get("type") == 2 and "debug_annotations" not in ev:
            continue
        if ev.get("type") != 2 and not set(cats) & {"span", "mark"} and "debug_annotations" not in ev:
            continue
        args = {}
        for a in ev.get("debug_annotations", ()):
            if a["name_iid"] not in seq[2]:
                raise ValueError(f"packet {i}: annotation name {a['name_iid']} not interned")
            value = next(v for k, v in a.items() if k != "name_iid")
            if "int_value" in a:
                value = _signed(value)
            elif "bool_value" in a:
                value = bool(value)
            args[seq[2][a["name_iid"]]] = value
        name = seq[0].get(ev["name_iid"]) if "name_iid" in ev else None
        if "name_iid" in ev and name is None:
            raise ValueError(f"packet {i}: name iid {ev['name_iid']} not interned")
        ph = {1: "B", 2: "E"}.get(ev.get("type"), "I")
        cat = cats[0] if cats else None
        events.setdefault(tracks[uuid], []).append((p.get("timestamp", 0), ph, name, cat, args))
    return events, counters
