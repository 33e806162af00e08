#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ (run from anywhere; overwrites the seeds).

The byte layouts follow the comments at the top of motion_log_driver.cpp and
plugin_driver.cpp; every seed is a small, well-understood starting point."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def log_text(lines, end="\n"):
    return "".join(line + end for line in lines).encode()


header = ["Motion correction log", "reference volume 1", "columns: dx dy dz rx ry rz"]
rows = ["vol %d: dx: %.4f dy: -0.%04d dz: %.3f rx: 0.01 ry: -0.02 rz: 1.5e-03" % (i, i * 0.01, i, i * 0.1)
        for i in range(1, 24)]
good_log = log_text(header + rows)

# motion_log_fuzzer: step choice, step, mode (even: real file), slash count, name length, name, content.
def motion(step, content, slashes=0, name=b"run", choice=4):
    return bytes([choice]) + struct.pack("<H", step) + bytes([0]) + struct.pack("<H", slashes) + \
        bytes([len(name)]) + name + content

write("motion_log_fuzzer", "step2_plain", motion(2, good_log))
write("motion_log_fuzzer", "step3_header_echo", motion(3, good_log))
write("motion_log_fuzzer", "step7_crlf_and_empty", motion(7, log_text(header + ["", "\r", "dx:1 dy:2 dz:3"] + rows, "\r\n")))
write("motion_log_fuzzer", "odd_values", motion(2, log_text(header + ["x", "dx:  nan dy:1e99 dz:0x1p3 rx:-inf ry: +.5e-9 rz:"])))
write("motion_log_fuzzer", "missing_keys", motion(4, log_text(header + ["a", "b", "c", "dx: 1 dz: 2", "dy:"])))
write("motion_log_fuzzer", "name_past_600", motion(2, good_log, slashes=598))
write("motion_log_fuzzer", "any_text", bytes([4]) + struct.pack("<H", 5) + bytes([1]) +
      struct.pack("<HH", 650, 20) + b"/nonexistent/" * 50 + b"project_name_of_text")

# plugin_fuzzer: log length, log, seed, then per operation: operation byte, plan
# byte, and what the host callbacks of the operation consume.
PRE_RUN, PRE_STEP, POST_STEP, POST_RUN, INIT = 1, 2, 4, 7, 0
NO_TEXT = bytes([0])            # the host writes nothing into a text buffer
MOTION_FOLDER = bytes([1])      # target folder / project name of the motion log


def small(n):                   # a dimension 1..8
    return bytes([6, n - 1])


def op(code, plan=b"\0", answers=b""):
    return bytes([code]) + plan + answers


def plugin(log, ops, seed=12345):
    return struct.pack("<H", len(log)) + log + struct.pack("<I", seed) + b"".join(ops)


pre_run = op(PRE_RUN, answers=NO_TEXT + NO_TEXT)
post_step = op(POST_STEP, answers=MOTION_FOLDER + MOTION_FOLDER)
run = [pre_run, op(PRE_STEP, answers=small(4) + small(4) + small(2))] + [post_step] * 8 + [op(POST_RUN)]
write("plugin_fuzzer", "two_runs", plugin(good_log, run + run))
write("plugin_fuzzer", "init_then_run", plugin(good_log, [op(INIT)] + run))
write("plugin_fuzzer", "dims_overflow", plugin(good_log, [pre_run, op(PRE_STEP, answers=bytes([4, 2, 4, 2]) + small(1)),
                                                         post_step, post_step, op(POST_RUN)]))
write("plugin_fuzzer", "dims_large_accepted", plugin(good_log, [pre_run, op(PRE_STEP, answers=bytes([4, 1, 4, 1]) + small(8)),
                                                               post_step, op(POST_RUN)]))
write("plugin_fuzzer", "dims_zero_and_negative", plugin(good_log, [pre_run, op(PRE_STEP, answers=bytes([0]) + small(3) + small(3)),
                                                                  post_step, op(POST_RUN),
                                                                  op(PRE_STEP, answers=bytes([1]) + bytes([1]) + small(2)),
                                                                  post_step]))
# A text answer of mode 4 or 5 repeats a piece of 1 + n % 16 bytes over the whole buffer, no terminator.
def filled(mode, piece):
    return bytes([mode, len(piece) - 1]) + piece


unterminated = op(POST_STEP, answers=filled(4, b"Folder/") + filled(5, b"Pr0ject"))
write("plugin_fuzzer", "texts_without_terminator",
      plugin(good_log, [op(PRE_RUN, answers=filled(4, b"K") + filled(5, b"plugins/")),
                        op(PRE_STEP, answers=small(3) + small(3) + small(3))] + [unterminated] * 4))
write("plugin_fuzzer", "null_maps_and_time_course",
      plugin(good_log, [pre_run, op(PRE_STEP, plan=bytes([2]) + struct.pack("<H", 40), answers=small(5) + small(5) + small(2)),
                        op(PRE_STEP, answers=small(5) + small(5) + small(2)),
                        op(POST_STEP, plan=bytes([1]) + struct.pack("<H", 7), answers=MOTION_FOLDER * 2),
                        op(POST_STEP, plan=bytes([2]) + struct.pack("<H", 9), answers=MOTION_FOLDER * 2),
                        post_step, post_step]))
