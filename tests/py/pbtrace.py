"""A reader of vespra's protobuf traces for tests, in plain standard-library Python.

read_packets(path) decodes the packet stream into dicts holding exactly the fields vespra writes;
slices(path) resolves interned names per sequence and returns each thread's slices the way a
track-event viewer shows them.

Decoding is strict: unknown fields, wrong wire types and truncated data raise ValueError, so a
test that reads a trace also checks that it is well formed.
"""

from __future__ import annotations

import dataclasses

__all__ = ["read_packets", "decode", "slices", "ThreadTrace"]

_VARINT, _LEN = 0, 2


class _Reader:
    def __init__(self, data: bytes, start: int = 0, end: int | None = None):
        self.data = data
        self.pos = start
        self.end = len(data) if end is None else end

    def done(self) -> bool:
        return self.pos >= self.end

    def varint(self) -> int:
        value = shift = 0
        while True:
            if self.pos >= self.end:
                raise ValueError(f"truncated varint at byte {self.pos}")
            if shift > 63:
                raise ValueError(f"varint longer than ten bytes at byte {self.pos}")
            b = self.data[self.pos]
            self.pos += 1
            value |= (b & 0x7F) << shift
            if not b & 0x80:
                return value & 0xFFFFFFFFFFFFFFFF
            shift += 7

    def key(self) -> tuple[int, int]:
        k = self.varint()
        return k >> 3, k & 7

    def sub(self) -> _Reader:
        n = self.varint()
        if n > self.end - self.pos:
            raise ValueError(f"length {n} runs past the end at byte {self.pos}")
        r = _Reader(self.data, self.pos, self.pos + n)
        self.pos += n
        return r

    def text(self) -> str:
        r = self.sub()
        return self.data[r.pos:r.end].decode("utf-8")


def _int32(v: int) -> int:
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v & 0x80000000 else v


# Per message: field number -> (name, wire type, kind). Kinds: "u" unsigned, "i32" signed 32-bit,
# "s" string, "rep_u"/"rep_s" repeated, "rep_m:<msg>" repeated message, "m:<msg>" message.
_SCHEMA = {
    "TracePacket": {
        8: ("timestamp", _VARINT, "u"),
        10: ("trusted_packet_sequence_id", _VARINT, "u"),
        11: ("track_event", _LEN, "m:TrackEvent"),
        60: ("track_descriptor", _LEN, "m:TrackDescriptor"),
        12: ("interned_data", _LEN, "m:InternedData"),
        13: ("sequence_flags", _VARINT, "u"),
        59: ("trace_packet_defaults", _LEN, "m:TracePacketDefaults"),
    },
    "TrackEvent": {
        3: ("category_iids", _VARINT, "rep_u"),
        9: ("type", _VARINT, "u"),
        10: ("name_iid", _VARINT, "u"),
        11: ("track_uuid", _VARINT, "u"),
        22: ("categories", _LEN, "rep_s"),
        23: ("name", _LEN, "s"),
    },
    "TrackDescriptor": {
        1: ("uuid", _VARINT, "u"),
        2: ("name", _LEN, "s"),
        3: ("process", _LEN, "m:ProcessDescriptor"),
        4: ("thread", _LEN, "m:ThreadDescriptor"),
        5: ("parent_uuid", _VARINT, "u"),
    },
    "ProcessDescriptor": {
        1: ("pid", _VARINT, "i32"),
        6: ("process_name", _LEN, "s"),
    },
    "ThreadDescriptor": {
        1: ("pid", _VARINT, "i32"),
        2: ("tid", _VARINT, "i32"),
        5: ("thread_name", _LEN, "s"),
    },
    "InternedData": {
        1: ("event_categories", _LEN, "rep_m:Interned"),
        2: ("event_names", _LEN, "rep_m:Interned"),
    },
    "Interned": {
        1: ("iid", _VARINT, "u"),
        2: ("name", _LEN, "s"),
    },
    "TracePacketDefaults": {
        11: ("track_event_defaults", _LEN, "m:TrackEventDefaults"),
    },
    "TrackEventDefaults": {
        11: ("track_uuid", _VARINT, "u"),
    },
}


def _message(r: _Reader, kind: str) -> dict:
    schema = _SCHEMA[kind]
    out: dict = {}
    while not r.done():
        at = r.pos
        number, wire = r.key()
        if number not in schema:
            raise ValueError(f"unknown field {number} in {kind} at byte {at}")
        name, want, how = schema[number]
        if wire != want:
            raise ValueError(f"{kind}.{name} has wire type {wire} at byte {at}")
        if how == "u":
            value = r.varint()
        elif how == "i32":
            value = _int32(r.varint())
        elif how == "s":
            value = r.text()
        elif how == "rep_u":
            out.setdefault(name, []).append(r.varint())
            continue
        elif how == "rep_s":
            out.setdefault(name, []).append(r.text())
            continue
        elif how.startswith("rep_m:"):
            out.setdefault(name, []).append(_message(r.sub(), how[6:]))
            continue
        else:
            value = _message(r.sub(), how[2:])
        if name in out:
            raise ValueError(f"{kind}.{name} appears twice at byte {at}")
        out[name] = value
    return out


def decode(data: bytes) -> list[dict]:
    """Decodes a stream of framed packets (0A, length, TracePacket)."""
    r = _Reader(data)
    packets = []
    while not r.done():
        at = r.pos
        number, wire = r.key()
        if (number, wire) != (1, _LEN):
            raise ValueError(f"not a Trace.packet field at byte {at}")
        packets.append(_message(r.sub(), "TracePacket"))
    return packets


def read_packets(path) -> list[dict]:
    """Every packet of the trace file at `path`, in file order."""
    with open(path, "rb") as f:
        return decode(f.read())


@dataclasses.dataclass
class ThreadTrace:
    """One track: its name (thread name, or the process track's name) and its events."""

    name: str | None = None
    # (ts, "B" | "E" | "I", name). An end carries the name of the slice it closes, or None when
    # nothing was open.
    events: list = dataclasses.field(default_factory=list)


def slices(path) -> dict:
    """Per track, keyed (pid, tid) for a thread (tid unsigned 32-bit) and (pid, None) for a
    process, the resolved events in file order. Raises ValueError for what a viewer could not
    resolve: an event on an unknown track, a name iid not interned on its sequence."""
    tracks: dict[int, tuple] = {}
    out: dict[tuple, ThreadTrace] = {}
    stacks: dict[tuple, list] = {}
    seqs: dict[int, dict] = {}
    for i, p in enumerate(read_packets(path)):
        seq_id = p.get("trusted_packet_sequence_id")
        state = seqs.setdefault(seq_id, {"names": {}, "default": None})
        if p.get("sequence_flags", 0) & 1:
            state.update(names={}, default=None)
        for entry in p.get("interned_data", {}).get("event_names", []):
            state["names"][entry["iid"]] = entry["name"]
        defaults = p.get("trace_packet_defaults", {}).get("track_event_defaults", {})
        if "track_uuid" in defaults:
            state["default"] = defaults["track_uuid"]

        desc = p.get("track_descriptor")
        if desc is not None:
            if "thread" in desc:
                t = desc["thread"]
                key = (t["pid"], t["tid"] & 0xFFFFFFFF)
                name = t.get("thread_name")
            else:
                key = (desc["process"]["pid"], None)
                name = desc.get("name")
            tracks[desc["uuid"]] = key
            out.setdefault(key, ThreadTrace()).name = name

        ev = p.get("track_event")
        if ev is not None:
            uuid = ev.get("track_uuid", state["default"])
            if uuid not in tracks:
                raise ValueError(f"packet {i}: event on an undescribed track")
            key = tracks[uuid]
            stack = stacks.setdefault(key, [])
            name = ev.get("name")
            if "name_iid" in ev:
                if ev["name_iid"] not in state["names"]:
                    raise ValueError(f"packet {i}: name iid {ev['name_iid']} not interned")
                name = state["names"][ev["name_iid"]]
            kind = ev.get("type")
            if kind == 1:
                stack.append(name)
                phase = "B"
            elif kind == 2:
                name = stack.pop() if stack else None
                phase = "E"
            else:
                phase = "I"
            out[key].events.append((p.get("timestamp", 0), phase, name))
    return out
