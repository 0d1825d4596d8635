"""The test-side trace reader, on byte streams exactly as the protobuf writer produces them."""

import os
import tempfile
import unittest

import pbtrace

# Process 4242, sequence base 0: the process descriptor, the first thread's descriptor (tid 100,
# no name), "main" interned as iid 1, then a begin at 1000 ns and an end at 1500 ns.
PROCESS = (bytes([0x0A, 0x2B, 0x40, 0x00, 0x50, 0x01, 0xE2, 0x03, 0x22, 0x08, 0x81, 0x80, 0x80,
                  0x80, 0xA0, 0x92, 0x04, 0x12, 0x0B]) + b"python:4242"
           + bytes([0x1A, 0x0B, 0x08, 0x92, 0x21, 0x32, 0x06]) + b"python" + bytes([0x68, 0x01]))
THREAD = bytes([
    0x0A, 0x37, 0x40, 0x00, 0x50, 0x02,
    0xE2, 0x03, 0x17,
    0x08, 0x82, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04,
    0x22, 0x05, 0x08, 0x92, 0x21, 0x10, 0x64,
    0x28, 0x81, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04,
    0x62, 0x08, 0x0A, 0x06, 0x08, 0x01, 0x12, 0x02, 0x70, 0x79,
    0x68, 0x01,
    0xDA, 0x03, 0x0A, 0x5A, 0x08, 0x58, 0x82, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04,
])
MAIN = (bytes([0x0A, 0x12, 0x40, 0x00, 0x50, 0x02, 0x62, 0x0A, 0x12, 0x08, 0x08, 0x01, 0x12, 0x04])
        + b"main" + bytes([0x68, 0x02]))
BEGIN = bytes([0x0A, 0x0F, 0x40, 0xE8, 0x07, 0x50, 0x02, 0x68, 0x02, 0x5A, 0x06, 0x48, 0x01,
               0x18, 0x01, 0x50, 0x01])
END = bytes([0x0A, 0x0B, 0x40, 0xDC, 0x0B, 0x50, 0x02, 0x68, 0x02, 0x5A, 0x02, 0x48, 0x02])
_DROPPED_NAME = b"vespra: 3 events dropped"
DROPPED = (bytes([0x0A, 0x3A, 0x40, 0x00, 0x50, 0x01, 0x5A, 0x34, 0x48, 0x03, 0x58, 0x81, 0x80,
                  0x80, 0x80, 0xA0, 0x92, 0x04, 0xB2, 0x01, 0x02]) + b"py"
           + bytes([0xB2, 0x01, 0x07]) + b"dropped" + bytes([0xBA, 0x01, len(_DROPPED_NAME)])
           + _DROPPED_NAME)

UUID_4242 = (4242 << 32) + 1


class PbTraceTest(unittest.TestCase):
    def write(self, data: bytes) -> str:
        fd, path = tempfile.mkstemp(suffix=".pb")
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        self.addCleanup(os.unlink, path)
        return path

    def test_packets_decode_field_by_field(self):
        packets = pbtrace.read_packets(self.write(PROCESS + THREAD + MAIN + BEGIN + END + DROPPED))
        self.assertEqual(len(packets), 6)
        self.assertEqual(packets[0], {
            "timestamp": 0,
            "trusted_packet_sequence_id": 1,
            "track_descriptor": {
                "uuid": UUID_4242,
                "name": "python:4242",
                "process": {"pid": 4242, "process_name": "python"},
            },
            "sequence_flags": 1,
        })
        self.assertEqual(packets[1]["track_descriptor"], {
            "uuid": UUID_4242 + 1,
            "thread": {"pid": 4242, "tid": 100},
            "parent_uuid": UUID_4242,
        })
        self.assertEqual(packets[1]["interned_data"],
                         {"event_categories": [{"iid": 1, "name": "py"}]})
        self.assertEqual(packets[1]["trace_packet_defaults"],
                         {"track_event_defaults": {"track_uuid": UUID_4242 + 1}})
        self.assertEqual(packets[2]["interned_data"], {"event_names": [{"iid": 1, "name": "main"}]})
        self.assertEqual(packets[3], {
            "timestamp": 1000,
            "trusted_packet_sequence_id": 2,
            "sequence_flags": 2,
            "track_event": {"type": 1, "category_iids": [1], "name_iid": 1},
        })
        self.assertEqual(packets[4]["track_event"], {"type": 2})
        self.assertEqual(packets[5]["track_event"], {
            "type": 3,
            "track_uuid": UUID_4242,
            "categories": ["py", "dropped"],
            "name": "vespra: 3 events dropped",
        })

    def test_slices_resolve_names_per_sequence_and_close_innermost(self):
        # Two begins of "main" and their ends: the second begin reuses the cached packet.
        second_begin = bytearray(BEGIN)
        second_begin[3:5] = bytes([0xD0, 0x0F])  # 2000 ns
        second_end = bytearray(END)
        second_end[3:5] = bytes([0xB8, 0x17])  # 3000 ns
        stream = (PROCESS + THREAD + MAIN + BEGIN + bytes(second_begin) + END
                  + bytes(second_end) + DROPPED)
        got = pbtrace.slices(self.write(stream))
        self.assertEqual(got[(4242, 100)].name, None)
        self.assertEqual(got[(4242, 100)].events, [
            (1000, "B", "main"), (2000, "B", "main"), (1500, "E", "main"), (3000, "E", "main"),
        ])
        self.assertEqual(got[(4242, None)].name, "python:4242")
        self.assertEqual(got[(4242, None)].events, [(0, "I", "vespra: 3 events dropped")])

    def test_high_thread_ids_and_thread_names(self):
        # tid 0xFFFFFFFF arrives as int32 -1 in ten bytes; the key is the unsigned id.
        desc = (bytes([0x08, 0x82, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04, 0x22, 0x14, 0x08, 0x92,
                       0x21, 0x10] + [0xFF] * 9 + [0x01, 0x2A, 0x04]) + b"work"
                + bytes([0x28, 0x81, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04]))
        body = bytes([0x40, 0x00, 0x50, 0x02, 0xE2, 0x03, len(desc)]) + desc + bytes([0x68, 0x01])
        thread = bytes([0x0A, len(body)]) + body
        got = pbtrace.slices(self.write(PROCESS + thread))
        self.assertEqual(got[(4242, 0xFFFFFFFF)].name, "work")
        self.assertEqual(pbtrace.read_packets(self.write(thread))[0]["track_descriptor"]["thread"]
                         ["tid"], -1)

    def test_what_a_viewer_could_not_read_raises(self):
        with self.assertRaisesRegex(ValueError, "runs past the end"):
            pbtrace.read_packets(self.write(PROCESS[:-1]))
        with self.assertRaisesRegex(ValueError, "unknown field"):
            pbtrace.decode(bytes([0x0A, 0x02, 0x78, 0x01]))
        with self.assertRaisesRegex(ValueError, "not interned"):
            pbtrace.slices(self.write(PROCESS + THREAD + BEGIN))
        with self.assertRaisesRegex(ValueError, "undescribed track"):
            pbtrace.slices(self.write(PROCESS + MAIN + BEGIN))
        # A thread descriptor clears the sequence's interned names.
        with self.assertRaisesRegex(ValueError, "not interned"):
            pbtrace.slices(self.write(PROCESS + MAIN + THREAD + BEGIN))


if __name__ == "__main__":
    unittest.main()
