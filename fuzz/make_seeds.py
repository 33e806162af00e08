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


# nifti_series_fuzzer: mode byte (bit 0: the driver gzips the rest; bit 1:
# named .nii.gz), then the file. The headers are made here the way the
# library writes them (little-endian NIfTI-1 with "n+1", NIfTI-2 with its
# 8-byte magic); the files Korvanth writes itself are seeds too, made with
# `make_seeds.py --korvanth <path of the Korvanth executable>`.
def nifti1(dims, datatype=4, bitpix=16, data=b"", slope=1.0, inter=0.0, pixdim4=2.0, vox_offset=352.0,
           endian="<"):
    h = bytearray(348)
    struct.pack_into(endian + "i", h, 0, 348)
    struct.pack_into(endian + "8h", h, 40, len(dims), *(list(dims) + [1] * (7 - len(dims))))
    struct.pack_into(endian + "hh", h, 70, datatype, bitpix)
    struct.pack_into(endian + "8f", h, 76, 1.0, 3.0, 3.0, 4.0, pixdim4, 1.0, 1.0, 1.0)
    struct.pack_into(endian + "fff", h, 108, vox_offset, slope, inter)
    h[123] = 2 | 8  # mm, s
    h[344:348] = b"n+1\0"
    return bytes(h) + b"\0\0\0\0" + data


def nifti2(dims, data=b""):
    h = bytearray(540)
    struct.pack_into("<i", h, 0, 540)
    h[4:12] = b"n+2\0\r\n\x1a\n"
    struct.pack_into("<hh", h, 12, 4, 16)
    struct.pack_into("<8q", h, 16, len(dims), *(list(dims) + [1] * (7 - len(dims))))
    struct.pack_into("<8d", h, 104, 1.0, 2.0, 2.0, 2.0, 1.5, 1.0, 1.0, 1.0)
    struct.pack_into("<qdd", h, 168, 544, 1.0, 0.0)
    return bytes(h) + b"\0\0\0\0" + data


def int16s(values, endian="<"):
    return struct.pack(endian + "%dh" % len(values), *values)


volume = [120 + (i * 37) % 400 for i in range(4 * 3 * 2)]
write("nifti_series_fuzzer", "int16_three_volumes", bytes([0]) + nifti1([4, 3, 2, 3], data=int16s(volume * 3)))
write("nifti_series_fuzzer", "int16_gzipped", bytes([1]) + nifti1([4, 3, 2, 2], data=int16s(volume * 2)))
write("nifti_series_fuzzer", "big_endian", bytes([0]) + nifti1([4, 3, 2, 2], data=int16s(volume * 2, ">"), endian=">"))
write("nifti_series_fuzzer", "float_nan_inf_scaled",
      bytes([0]) + nifti1([2, 2, 1, 2], datatype=16, bitpix=32, slope=2.0, inter=0.5, pixdim4=0.0,
                          data=struct.pack("<8f", 1.5, float("nan"), float("inf"), -4e4, 3.0, 2.0, -0.5, 7.0)))
write("nifti_series_fuzzer", "uint8_no_tr", bytes([0]) + nifti1([2, 2, 2, 2], datatype=2, bitpix=8, pixdim4=0.0,
                                                                   data=bytes(range(100, 116))))
write("nifti_series_fuzzer", "nifti2_int16", bytes([0]) + nifti2([2, 2, 2, 2], data=int16s(list(range(200, 216)))))
write("nifti_series_fuzzer", "three_dimensional", bytes([0]) + nifti1([4, 3, 2], data=int16s(volume)))


# motion_file_fuzzer: format byte (0 fsl, 1 spm, 2 fmriprep, 3 plain), then the text.
def rows(values):
    return "".join(" ".join("%.6g" % v for v in row) + "\n" for row in values).encode()


trace = [[0.001 * i, -0.002 * i, 0.0005 * i, 0.01 * i, -0.03 * i, 0.02 * i] for i in range(6)]
write("motion_file_fuzzer", "fsl_par", bytes([0]) + rows(trace))
write("motion_file_fuzzer", "spm_rp", bytes([1]) + rows(trace))
write("motion_file_fuzzer", "fmriprep_tsv", bytes([2]) + (
    "global_signal\ttrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tframewise_displacement\n"
    "512.3\t0\t0\t0\t0\t0\t0\tn/a\n" + "".join(
        "511.%d\t%s\t0.4\n" % (i, "\t".join("%.6g" % v for v in trace[i])) for i in range(1, 6))).encode())
write("motion_file_fuzzer", "plain_with_comments", bytes([3]) + b"# dx dy dz rx ry rz\n\n" + rows(trace))
write("motion_file_fuzzer", "huge_rotation", bytes([1]) + b"0 0 0 0 0 0\n0 0 0 1e307 0 0\n")
write("motion_file_fuzzer", "crlf_and_bad_number", bytes([0]) + b"0 0 0 0 0 0\r\n0 0 0 x 0 0\r\n")

if "--korvanth" in os.sys.argv:
    import subprocess
    import tempfile
    korvanth = os.sys.argv[os.sys.argv.index("--korvanth") + 1]
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([korvanth, "--out", out, "--dims", "6", "5", "3", "--volumes", "3"], check=True,
                       stdout=subprocess.DEVNULL)
        for name, mode in (("bold.nii.gz", 2), ("maps.nii.gz", 2)):
            with open(os.path.join(out, name), "rb") as f:
                write("nifti_series_fuzzer", "korvanth_" + name.replace(".", "_"), bytes([mode]) + f.read())
        with open(os.path.join(out, "bold_motion.txt"), "rb") as f:
            write("motion_file_fuzzer", "korvanth_bold_motion", bytes([3]) + f.read())


# dicom_file_fuzzer: a file's content. A 4 x 4 int16 image in explicit VR
# little endian, the smallest classic slice the reader takes; the test
# command adds the shared series' files as further seeds.
def element(group, elem, vr, value):
    if isinstance(value, str):
        value = value.encode()
        if len(value) % 2:
            value += b"\0" if vr == b"UI" else b" "
    if vr in (b"OB", b"OW", b"SQ", b"UN", b"UT"):
        return struct.pack("<HH", group, elem) + vr + b"\0\0" + struct.pack("<I", len(value)) + value
    return struct.pack("<HH", group, elem) + vr + struct.pack("<H", len(value)) + value


meta = element(0x0002, 0x0010, b"UI", "1.2.840.10008.1.2.1")
dicom_slice = b"\0" * 128 + b"DICM" + element(0x0002, 0x0000, b"UL", struct.pack("<I", len(meta))) + meta + \
    element(0x0008, 0x0008, b"CS", "ORIGINAL\\PRIMARY") + element(0x0018, 0x0080, b"DS", "2000") + \
    element(0x0020, 0x000E, b"UI", "1.2.3.4") + element(0x0020, 0x0013, b"IS", "1") + \
    element(0x0020, 0x0032, b"DS", "-3\\-3\\10") + element(0x0020, 0x0037, b"DS", "1\\0\\0\\0\\1\\0") + \
    element(0x0028, 0x0002, b"US", struct.pack("<H", 1)) + element(0x0028, 0x0004, b"CS", "MONOCHROME2") + \
    element(0x0028, 0x0010, b"US", struct.pack("<H", 4)) + element(0x0028, 0x0011, b"US", struct.pack("<H", 4)) + \
    element(0x0028, 0x0030, b"DS", "2\\2") + element(0x0028, 0x0100, b"US", struct.pack("<H", 16)) + \
    element(0x0028, 0x0101, b"US", struct.pack("<H", 16)) + element(0x0028, 0x0103, b"US", struct.pack("<H", 1)) + \
    element(0x7FE0, 0x0010, b"OW", struct.pack("<16h", *range(-8, 8)))
write("dicom_file_fuzzer", "slice.dcm", dicom_slice)

# dicom_node_fuzzer: how the request announces (see dicom_node_driver.h), then
# a received MR image: as its data set says, announced apart (the same
# instance, and another), and over the size bound. The test command adds the
# shared series' files as further seeds.
mr_class, mr_instance = "1.2.840.10008.5.1.4.1.1.4", "1.2.3.4.5.6"
mr_meta = element(0x0002, 0x0002, b"UI", mr_class) + element(0x0002, 0x0003, b"UI", mr_instance) + meta
mr_image = b"\0" * 128 + b"DICM" + element(0x0002, 0x0000, b"UL", struct.pack("<I", len(mr_meta))) + mr_meta + \
    element(0x0008, 0x0016, b"UI", mr_class) + element(0x0008, 0x0018, b"UI", mr_instance) + \
    element(0x0028, 0x0010, b"US", struct.pack("<H", 2)) + element(0x0028, 0x0011, b"US", struct.pack("<H", 2)) + \
    element(0x7FE0, 0x0010, b"OW", struct.pack("<4h", 1, 2, 3, 4))
write("dicom_node_fuzzer", "as_it_holds", bytes([1]) + mr_image)
write("dicom_node_fuzzer", "announced", bytes([0, len(mr_instance)]) + mr_instance.encode() + mr_image)
write("dicom_node_fuzzer", "another_instance", bytes([0, 9]) + b"1.2.3.4.9" + mr_image)
write("dicom_node_fuzzer", "over_the_bound", bytes([5]) + mr_image)
