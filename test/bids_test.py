#!/usr/bin/env python3
"""korvanth-bids on a small BIDS dataset made from the shared runs.

Two participants (one with two sessions) and a third whose run is damaged;
one run has no TR in any sidecar. The participant level per label, then the
group level; a re-run into the same folder; the dataset left as it was; and,
where the machine has SLURM and munge, the array script on a one-node
cluster started here, the group level after the array.
Exit 77 (skipped) without the shared data.
"""
import argparse
import csv
import gzip
import hashlib
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None


def tree_digest(root):
    digest = hashlib.sha256()
    for path in sorted(pathlib.Path(root).rglob("*")):
        digest.update(str(path.relative_to(root)).encode())
        if path.is_file():
            digest.update(path.read_bytes())
    return digest.hexdigest()


def write_json(path, value):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(value))


def make_dataset(root, fmriprep):
    """sub-01: rest120, motion from fMRIPrep confounds; sub-02: two sessions of
    the Haxby slice, a motor run without any TR, a session sidecar overriding
    the root's TR; sub-03: a truncated image."""
    data = pathlib.Path(ARGS.data)
    write_json(root / "dataset_description.json", {"Name": "t", "BIDSVersion": "1.8.0"})
    (root / "participants.tsv").write_text("participant_id\tage\nsub-01\t30\nsub-02\t31\nsub-03\t32\n")
    write_json(root / "task-rest_bold.json", {"RepetitionTime": 2.5})
    images = {
        "sub-01/func/sub-01_task-rest_bold.nii.gz": "rest120_64x64x34_bold.nii.gz",
        "sub-02/ses-a/func/sub-02_ses-a_task-rest_bold.nii.gz": "haxby_run1_1slice_bold.nii.gz",
        "sub-02/ses-b/func/sub-02_ses-b_task-rest_run-1_bold.nii.gz": "haxby_run1_1slice_bold.nii.gz",
        "sub-02/ses-b/func/sub-02_ses-b_task-motor_bold.nii.gz": "haxby_run1_1slice_bold.nii.gz",
    }
    for target, source in images.items():
        (root / target).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(data / source, root / target)
    write_json(root / "sub-02/ses-b/sub-02_ses-b_task-rest_bold.json", {"RepetitionTime": 2.0})
    damaged = root / "sub-03/func/sub-03_task-rest_bold.nii.gz"
    damaged.parent.mkdir(parents=True)
    damaged.write_bytes(gzip.compress(gzip.decompress((data / "haxby_run1_1slice_bold.nii.gz").read_bytes())[:20000]))
    # fMRIPrep's confounds: SPM's estimates (mm, radians) under its column names.
    rows = [line.split() for line in (data / "rest120_rp_spm12.txt").read_text().splitlines() if line.strip()]
    confounds = fmriprep / "sub-01/func/sub-01_task-rest_desc-confounds_timeseries.tsv"
    confounds.parent.mkdir(parents=True)
    names = ["trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"]
    confounds.write_text("\t".join(["global_signal"] + names) + "\n" +
                         "".join("\t".join(["100"] + r) + "\n" for r in rows))
    return [[float(v) for v in r] for r in rows]


def bids_app(*args, check=None):
    result = subprocess.run([ARGS.bids_app, *map(str, args)], capture_output=True, text=True, timeout=600)
    if check is not None and result.returncode != check:
        raise AssertionError(f"exit {result.returncode}, not {check}:\n{result.stdout}\n{result.stderr}")
    return result


def per_run_records(out):
    return {str(p.parent.relative_to(out)): json.loads(p.read_text()) for p in pathlib.Path(out).glob("sub-*/**/figures.json")}


class BidsAppTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="korvanth-bids-"))
        cls.bids, cls.out, cls.fmriprep = cls.tmp / "bids", cls.tmp / "out", cls.tmp / "fmriprep"
        cls.motion = make_dataset(cls.bids, cls.fmriprep)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_participants_group_and_rerun(self):
        before = tree_digest(self.bids)
        dry = bids_app(self.bids, self.out, "participant", "--dry-run", check=2)
        self.assertIn("sub-02_ses-b_task-motor_bold.nii.gz: no sidecar up the tree gives a RepetitionTime", dry.stdout)
        self.assertIn("sub-01: exit 0 (done)", dry.stdout)
        self.assertIn("sub-02: exit 2 (a bad input, named above)", dry.stdout, "a dry run foretells the bad input")
        self.assertFalse(self.out.exists(), "a dry run writes nothing")

        # A run without a TR is a bad input for that participant; its other runs are committed.
        bad_tr = bids_app(self.bids, self.out, "participant", "--participant-label", "02", check=2)
        self.assertIn("task-motor_bold.nii.gz: no sidecar", bad_tr.stderr)
        filt = self.tmp / "filter.json"
        filt.write_text(json.dumps({"bold": {"task": "rest"}}))
        bids_app(self.bids, self.out, "participant", "--participant-label", "02", "--bids-filter-file", filt, check=0)
        fmriprep_run = bids_app(self.bids, self.out, "participant", "--participant-label", "01",
                                "--motion-from", f"fmriprep:{self.fmriprep}", check=0)
        # The report is named where it stays, not in the folder it was staged in.
        self.assertIn(f"Report: {self.out.resolve()}/sub-01/func/sub-01_task-rest_bold/report.html",
                      fmriprep_run.stdout)
        damaged = bids_app(self.bids, self.out, "participant", "--participant-label", "03", "01",
                           "--motion-from", f"fmriprep:{self.fmriprep}")
        self.assertEqual(damaged.returncode, 2)
        self.assertIn("sub-03: exit 2", damaged.stdout)
        self.assertIn("sub-01: exit 0", damaged.stdout)

        records = per_run_records(self.out)
        self.assertEqual(sorted(records), ["sub-01/func/sub-01_task-rest_bold",
                                           "sub-02/ses-a/func/sub-02_ses-a_task-rest_bold",
                                           "sub-02/ses-b/func/sub-02_ses-b_task-rest_run-1_bold"])
        description = json.loads((self.out / "dataset_description.json").read_text())
        self.assertEqual(description["DatasetType"], "derivative")
        self.assertTrue(description["GeneratedBy"][0]["Version"])
        # The nearest sidecar's TR wins; fd_mean is Power's FD of the confounds.
        self.assertEqual(records["sub-02/ses-b/func/sub-02_ses-b_task-rest_run-1_bold"]["tr_s"], 2.0)
        self.assertEqual(records["sub-02/ses-a/func/sub-02_ses-a_task-rest_bold"]["tr_s"], 2.5)
        fd = [sum(abs(a - b) * (50.0 if k >= 3 else 1.0) for k, (a, b) in enumerate(zip(now, before_)))
              for before_, now in zip(self.motion, self.motion[1:])]
        sub01 = records["sub-01/func/sub-01_task-rest_bold"]
        self.assertAlmostEqual(sub01["fd_mean"], sum(fd) / len(fd), places=4)
        self.assertAlmostEqual(sub01["fd_max_mm"], max(fd), places=4)
        self.assertEqual(sub01["frames_under_low"], 1 + sum(v <= 0.2 for v in fd))
        self.assertEqual(sub01["low_motion_low_s"], sub01["frames_under_low"] * 2.5)
        self.assertGreater(sub01["tsnr_median"], 10.0)

        bids_app(self.bids, self.out, "group", check=0)
        with open(self.out / "group_figures.tsv", newline="") as f:
            rows = list(csv.DictReader(f, delimiter="\t"))
        self.assertEqual(len(rows), len(records))
        for row in rows:
            record = records[row["run"]]
            self.assertEqual(list(row), list(record))
            for key, value in record.items():
                expected = "n/a" if value is None else value if isinstance(value, str) else json.dumps(value)
                self.assertEqual(row[key], expected, key)
        page = (self.out / "group_report.html").read_text()
        for run in records:
            self.assertIn(f'href="{run}/report.html"', page)
        self.assertTrue((self.out / "group" / "fd_mean_mm.png").read_bytes().startswith(b"\x89PNG"))

        # A re-run into the same folder, two runs at once, leaves the same results and no staging behind.
        listing = sorted(str(p.relative_to(self.out)) for p in self.out.rglob("*"))
        maps = {p: p.read_bytes() for p in self.out.glob("sub-02/**/maps.f32")}
        bids_app(self.bids, self.out, "participant", "--participant-label", "02", "--task-id", "rest",
                 "--nprocs", "2", check=0)
        self.assertEqual(per_run_records(self.out), records)
        self.assertEqual({p: p.read_bytes() for p in maps}, maps)
        self.assertEqual(sorted(str(p.relative_to(self.out)) for p in self.out.rglob("*")), listing)
        self.assertEqual(tree_digest(self.bids), before, "the dataset is read only")

    def test_outlier_named_on_the_page(self):
        out = self.tmp / "outliers"
        for k, fd in enumerate([0.1, 0.11, 0.12, 0.13, 0.9]):
            write_json(out / f"sub-{k}/func/sub-{k}_task-rest_bold/figures.json",
                       {"participant_id": f"sub-{k}", "run": f"sub-{k}/func/sub-{k}_task-rest_bold", "fd_mean_mm": fd})
        bids_app(self.bids, out, "group", check=0)
        page = (out / "group_report.html").read_text()
        section = page[page.index('<section id="fd_mean_mm">'):]
        section = section[:section.index("</section>")]
        self.assertIn("sub-4/func/sub-4_task-rest_bold", section.split("Beyond the fences")[1])
        self.assertNotIn("sub-3/func", section)


class SlurmArrayTest(unittest.TestCase):
    """The array script on a one-node cluster started here, then the group level."""

    def setUp(self):
        missing = [p for p in ("slurmctld", "slurmd", "sbatch", "munged") if not shutil.which(p)]
        if missing:
            self.skipTest(f"no SLURM here ({', '.join(missing)} missing; Debian: slurm-wlm munge)")
        if os.geteuid() != 0:
            self.skipTest("starting munged and slurmd needs root")
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="korvanth-slurm-"))
        self.tmp.chmod(0o755)  # munged runs as munge and keeps its socket in here
        self.pids = []

    def tearDown(self):
        for pid in reversed(self.pids):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        time.sleep(1)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_cluster(self):
        key = pathlib.Path("/etc/munge/munge.key")
        if not key.exists():
            key.write_bytes(os.urandom(1024))
            shutil.chown(key, "munge", "munge")
            key.chmod(0o400)
        munge_dir = self.tmp / "munge"
        munge_dir.mkdir()
        shutil.chown(munge_dir, "munge", "munge")
        socket_path = munge_dir / "munge.socket"
        subprocess.run(["runuser", "-u", "munge", "--", "munged", "--socket", str(socket_path),
                        "--pid-file", str(munge_dir / "munged.pid"), "--force"], check=True)
        self.pids.append(int((munge_dir / "munged.pid").read_text()))
        host = socket.gethostname().split(".")[0]
        ports = []
        for _ in range(2):
            with socket.socket() as s:
                s.bind(("", 0))
                ports.append(s.getsockname()[1])
        conf = self.tmp / "slurm.conf"
        conf.write_text(f"""ClusterName=korvanth
SlurmctldHost={host}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={socket_path}
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmctldPort={ports[0]}
SlurmdPort={ports[1]}
StateSaveLocation={self.tmp}/state
SlurmdSpoolDir={self.tmp}/spool
SlurmctldPidFile={self.tmp}/slurmctld.pid
SlurmdPidFile={self.tmp}/slurmd.pid
SlurmctldLogFile={self.tmp}/slurmctld.log
SlurmdLogFile={self.tmp}/slurmd.log
NodeName={host} CPUs={os.cpu_count()} State=UNKNOWN
PartitionName=main Nodes={host} Default=YES MaxTime=INFINITE State=UP
""")
        (self.tmp / "state").mkdir()
        (self.tmp / "spool").mkdir()
        os.environ["SLURM_CONF"] = str(conf)
        subprocess.run(["slurmctld", "-f", str(conf)], check=True)
        self.pids.append(int(self.wait_for(self.tmp / "slurmctld.pid").read_text()))
        subprocess.run(["slurmd", "-f", str(conf)], check=True)
        self.pids.append(int(self.wait_for(self.tmp / "slurmd.pid").read_text()))
        deadline = time.time() + 60
        while "idle" not in subprocess.run(["sinfo", "-h", "-o", "%t"], capture_output=True, text=True).stdout:
            if time.time() > deadline:
                self.fail("the node never came up: " + (self.tmp / "slurmctld.log").read_text()[-2000:])
            time.sleep(1)

    def wait_for(self, path):
        deadline = time.time() + 30
        while not path.exists() or not path.read_text().strip():
            if time.time() > deadline:
                self.fail(f"{path} never appeared")
            time.sleep(0.2)
        return path

    def test_array_then_group(self):
        self.start_cluster()
        bids, out = self.tmp / "bids", self.tmp / "out"
        make_dataset(bids, self.tmp / "fmriprep")
        shutil.rmtree(bids / "sub-01")  # the long run is covered above; keep the array short
        (bids / "participants.tsv").write_text("participant_id\nsub-02\nsub-03\n")
        env = dict(os.environ, KORVANTH_BIDS=str(ARGS.bids_app))
        submitted = subprocess.run(["sbatch", "--parsable", "--array=1-2", "--wait", "-o", str(self.tmp / "task-%a.log"),
                                    ARGS.script, str(bids), str(out), "--task-id", "rest"],
                                   capture_output=True, text=True, env=env, timeout=300)
        job = submitted.stdout.strip().split(";")[0]
        # --wait ends with the worst task's code: sub-03's damaged run is a bad input.
        self.assertNotEqual(submitted.returncode, 0, submitted.stderr)
        self.assertIn("sub-02: exit 0", (self.tmp / "task-1.log").read_text())
        self.assertIn("sub-03: exit 2", (self.tmp / "task-2.log").read_text())
        self.assertTrue(job)
        bids_app(bids, out, "group", check=0)
        with open(out / "group_figures.tsv") as f:
            self.assertEqual(len(f.read().splitlines()), 3)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bids-app", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--script", required=True)
    ARGS, rest = parser.parse_known_args()
    needed = [n for n in ("rest120_64x64x34_bold.nii.gz", "haxby_run1_1slice_bold.nii.gz", "rest120_rp_spm12.txt")
              if not (pathlib.Path(ARGS.data) / n).exists()]
    if needed:
        print(f"SKIP: the shared data lacks {', '.join(needed)}")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
