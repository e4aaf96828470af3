#!/usr/bin/env python3
"""The reference archives through the stub's windows: the two halves around the Wine run of
tests/ui/vectors.sh.

  check_vectors.py scenarios WORK WWORK STUB VECTORS_DIR WAIT_MS [NAME...]
      For every case of every vector (all NAME.json but index.json, or the NAMEs given): makes
      the runnable program WORK/arc/NAME.exe (STUB followed by the vector), a fresh destination
      WORK/out/NAME.K with the case's pre-existing files, and the case's driver scenario.
      Writes WORK/batch.txt (the driver's script; WWORK is WORK as Wine names it, on drive C:)
      and WORK/plan.json (what the check needs). Prints the number of scenarios.

  check_vectors.py check WORK
      Reads WORK/plan.json and the driver's transcript WORK/batch.log, compares every
      destination with its manifest, prints "PASS  name[#case]" or "FAIL  name[#case]" with
      the reasons, then "N passed, M failed"; exits 1 when anything failed.

What is compared, per case: the driver's verdict (the windows and boxes the case implies, the
answers to the overwrite questions, and the exit code: 0 after a finished, stopped or refused
run, 1 after damage); the exact set of files and folders below the destination; each file's
size, SHA-256, last write time and last access time, to the 100 ns of a FILETIME.
"""
import hashlib
import json
import os
import re
import shutil
import sys

# The texts the stub shows (UTF-8 here; CP932 in the program). See tests/ui/run.sh.
T_FINISHED = "ファイルの解凍が終わりました。"
T_STOPPED = "ファイルの解凍を中断しました。"
T_WRONG_PASSWORD = "パスワードが違います。"
T_CORRUPTED = "ファイルが壊れています。"
T_READ_FAILED = "ファイルの読み込みに失敗しました。"
T_OVERWRITE = "はすでに存在します。上書きしますか？"

# FILETIME counts 100 ns steps from 1601-01-01; the Unix epoch is this many steps later.
UNIX_EPOCH_AS_FILETIME = 116444736000000000

# The name the last line of the batch carries: once the driver reaches it, every case is done.
END_MARKER = "vectors-end"

# What each expectation looks like in the windows, after the extract button is clicked:
# (the box's icon, its text, the exit code). A damaged archive of any kind ends with the
# corrupted-file box and exit code 1 (a match reaching before the window is damage too).
OUTCOMES = {
    "success": ("information", T_FINISHED, 0),
    "cancelled": ("information", T_STOPPED, 0),
    "corruption": ("error", T_CORRUPTED, 1),
    "malformed": ("error", T_CORRUPTED, 1),
    "read_failure": ("error", T_READ_FAILED, 1),
}


def windows_path(*parts):
    return "\\".join(p.replace("/", "\\") for p in parts if p)


def filetime_to_ns(filetime):
    return (filetime - UNIX_EPOCH_AS_FILETIME) * 100


def ns_to_filetime_text(ns):
    """A Linux time as a FILETIME, with what lies below its 100 ns steps, if anything."""
    steps, rest = divmod(ns, 100)
    text = str(steps + UNIX_EPOCH_AS_FILETIME)
    return text if rest == 0 else f"{text} (+{rest} ns)"


def pre_existing_files(case):
    """The case's pre-existing files as (relative path, bytes): a mapping of path to hex
    text (or to an object with "hex"), or a list of objects with "path" and "hex"."""
    given = case.get("pre_existing") or {}
    items = given.items() if isinstance(given, dict) else (
        (e.get("path") or e.get("name"), e) for e in given)
    found = []
    for path, value in items:
        hex_text = value if isinstance(value, str) else (value.get("hex") or value.get("content_hex") or "")
        found.append((path, bytes.fromhex(hex_text)))
    return found


def overwrite_questions(case, pre_existing):
    """The paths the stub asks about, in order: a file member whose path already names a file
    or folder (names compared as Windows does, without regard to case). A cancel ends the
    run at the first question."""
    present = set()

    def add_with_parents(path, with_itself=True):
        parts = path.strip("/").split("/")
        for k in range(1, len(parts) + (1 if with_itself else 0)):
            present.add("/".join(parts[:k]).casefold())

    for path, _ in pre_existing:
        add_with_parents(path)
    asked = []
    for member in case.get("members") or []:
        path = (member.get("path") or "").strip("/")
        if member.get("kind") == "folder":
            if path not in ("", "."):
                add_with_parents(path)
            continue
        if path.casefold() in present:
            asked.append(path)
            if case.get("overwrite") == "cancel":
                break
        add_with_parents(path)
    return asked


def driver_text(text):
    """A text as the driver's script takes it: one line, a CR LF written {CRLF}. None when the
    text holds a lone line break, which a script line cannot carry."""
    shown = text.replace("\r\n", "{CRLF}")
    return None if "\r" in shown or "\n" in shown else shown


def make_scenarios(work, wwork, stub, vectors_dir, wait_ms, names):
    with open(stub, "rb") as f:
        stub_bytes = f.read()
    if not names:
        names = sorted(n[:-5] for n in os.listdir(vectors_dir)
                       if n.endswith(".json") and n != "index.json")
    os.makedirs(os.path.join(work, "arc"), exist_ok=True)
    os.makedirs(os.path.join(work, "out"), exist_ok=True)
    plan = []
    script = []
    for name in names:
        manifest_path = os.path.join(vectors_dir, name + ".json")
        try:
            with open(manifest_path, encoding="utf-8") as f:
                manifest = json.load(f)
        except (OSError, ValueError) as e:
            plan.append({"shown": name, "scenario": None, "problems": [f"no manifest: {e}"]})
            continue
        problems = []
        vector_file = os.path.join(vectors_dir, manifest.get("file") or name + ".exe")
        try:
            with open(vector_file, "rb") as f:
                vector_bytes = f.read()
        except OSError as e:
            plan.append({"shown": name, "scenario": None, "problems": [f"no archive: {e}"]})
            continue
        if "sha256" in manifest and hashlib.sha256(vector_bytes).hexdigest() != manifest["sha256"]:
            problems.append(f"{os.path.basename(vector_file)} is not the file its manifest describes")
        with open(os.path.join(work, "arc", name + ".exe"), "wb") as f:
            f.write(stub_bytes + vector_bytes)
        program = windows_path(wwork, "arc", name + ".exe")

        cases = manifest.get("cases") or []
        # The preamble belongs to the archive; the cases that repeat it are alike.
        preamble = next((c["preamble"] for c in cases if c.get("preamble")), None)
        run_after = (preamble or {}).get("run_after") or ""
        for index, case in enumerate(cases):
            shown = name if len(cases) == 1 else f"{name}#{index}"
            scenario = f"{name}#{index}"
            dest = os.path.join(work, "out", f"{name}.{index}")
            wdest = windows_path(wwork, "out", f"{name}.{index}")
            shutil.rmtree(dest, ignore_errors=True)
            os.makedirs(dest)
            pre_existing = pre_existing_files(case)
            for path, content in pre_existing:
                target = os.path.join(dest, path)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(content)
            entry = {"shown": shown, "scenario": scenario, "manifest": manifest_path,
                     "case": index, "dest": dest, "problems": list(problems),
                     "run_after": run_after}
            plan.append(entry)

            expect = case.get("expect")
            if expect not in OUTCOMES and expect != "wrong_password":
                entry["problems"].append(f"no scenario for the expectation {expect!r}")
                entry["scenario"] = None
                continue

            lines = [f"scenario {scenario}", f"start {program}", "window"]
            if preamble is not None:
                message = driver_text(preamble.get("message_text") or "")
                if message is not None:
                    lines.append(f"expect_text message_view {message}")
                has_password = (preamble.get("password_flag_byte") or 0) != 0
                lines.append(f"expect_visible password_edit {'yes' if has_password else 'no'}")
                if has_password:
                    masked = preamble.get("password_masked")
                    lines.append(f"expect_password_char password_edit {'*' if masked else 'none'}")
            lines.append(f"type folder_edit {wdest}")
            if case.get("password") is not None or (preamble or {}).get("password_flag_byte"):
                # The password as a person types it; the stub turns it into CP932 bytes.
                lines.append(f"type password_edit {case.get('password') or ''}")
            lines.append("click extract_button")
            if expect == "wrong_password":
                # The main window refuses the run and stays; closing it ends the program.
                lines += [f"box owned warning ok ok {T_WRONG_PASSWORD}", "close", "exit 0"]
            else:
                answer = case.get("overwrite") or "yes"
                for path in overwrite_questions(case, pre_existing):
                    lines.append(f"box owned question yes,no,cancel {answer} "
                                 f"{windows_path(wdest, path)}{T_OVERWRITE}")
                icon, text, code = OUTCOMES[expect]
                lines.append(f"box owned {icon} ok ok {text}")
                if expect == "success" and run_after:
                    # The program named by the archive is opened now. Under Wine that may
                    # fail (no program for the name: the could-not-run box, answered here) or
                    # start one (notepad for a .txt): then no box comes, and what is left
                    # running once the batch is over is ended by vectors.sh.
                    lines.append(f"any_box {wait_ms} ok")
                lines.append(f"exit {code}")
            script += lines
    script.append(f"scenario {END_MARKER}")
    with open(os.path.join(work, "batch.txt"), "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(script) + "\n")
    with open(os.path.join(work, "plan.json"), "w", encoding="utf-8") as f:
        json.dump(plan, f, ensure_ascii=False, indent=1)
    print(sum(1 for e in plan if e["scenario"]))


def transcript_of(log, scenario):
    lines, on = [], False
    for line in log:
        if line.startswith("=== "):
            on = line == f"=== {scenario}"
            continue
        if on:
            lines.append(line)
    return lines


def open_untouched(path):
    """Opens a file for reading without moving its last access time where the system allows
    it (O_NOATIME, for the file's owner), so that a kept work folder can be checked again."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOATIME", 0))
    except PermissionError:
        fd = os.open(path, os.O_RDONLY)
    return os.fdopen(fd, "rb")


def check_tree(entry, case, problems):
    dest = entry["dest"]
    if not os.path.isdir(dest):
        problems.append(f"the destination {dest} is gone")
        return
    # Everything is looked at before any file is read: reading a file may move its last
    # access time (relatime).
    seen_files, seen_folders = {}, set()
    for top, folders, files in os.walk(dest):
        relative_top = os.path.relpath(top, dest)
        prefix = "" if relative_top == "." else relative_top.replace(os.sep, "/") + "/"
        for d in folders:
            seen_folders.add(prefix + d)
        for f in files:
            seen_files[prefix + f] = os.lstat(os.path.join(top, f))
    want_files = case.get("files") or {}
    want_folders = set(case.get("folders") or [])
    for path in sorted(want_folders - seen_folders):
        problems.append(f"folder missing: {path}")
    for path in sorted(seen_folders - want_folders):
        problems.append(f"folder not expected: {path}")
    for path in sorted(set(want_files) - set(seen_files)):
        problems.append(f"file missing: {path}")
    for path in sorted(set(seen_files) - set(want_files)):
        problems.append(f"file not expected: {path}")

    for path in sorted(set(want_files) & set(seen_files)):
        want, st = want_files[path], seen_files[path]
        if want.get("size") is not None and st.st_size != want["size"]:
            problems.append(f"{path}: {st.st_size} bytes, expected {want['size']}")
        if isinstance(want.get("last_write_time"), int):
            if st.st_mtime_ns != filetime_to_ns(want["last_write_time"]):
                problems.append(f"{path}: last write time {ns_to_filetime_text(st.st_mtime_ns)}, "
                                f"expected {want['last_write_time']}")
        # Wine sets the last access time with the others (to the nanosecond on ext4 and the
        # like), so it is compared too; but the file the archive names to open afterwards has
        # just been looked at by the shell (and maybe a viewer), which moves it on a file
        # system that records access, so that one file's is left alone.
        if isinstance(want.get("last_access_time"), int) and path != entry["run_after"].replace("\\", "/"):
            if st.st_atime_ns != filetime_to_ns(want["last_access_time"]):
                problems.append(f"{path}: last access time {ns_to_filetime_text(st.st_atime_ns)}, "
                                f"expected {want['last_access_time']}")
        # The creation time is not compared: Wine cannot give a file on a Linux file system a
        # creation time of its choosing (the birth time statx reports is the moment the file
        # was made), so what the stub asked for cannot be read back here.
        if want.get("sha256"):
            digest = hashlib.sha256()
            with open_untouched(os.path.join(dest, path)) as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    digest.update(chunk)
            if digest.hexdigest() != want["sha256"]:
                problems.append(f"{path}: contents differ (SHA-256 {digest.hexdigest()[:16]}...)")


def check(work):
    with open(os.path.join(work, "plan.json"), encoding="utf-8") as f:
        plan = json.load(f)
    try:
        with open(os.path.join(work, "batch.log"), encoding="utf-8", errors="replace") as f:
            log = [line.rstrip("\r\n").replace("\r", "") for line in f]
    except OSError:
        log = []
    passed = failed = 0
    for entry in plan:
        problems = list(entry["problems"])
        notes = []
        if entry["scenario"]:
            with open(entry["manifest"], encoding="utf-8") as f:
                case = json.load(f)["cases"][entry["case"]]
            transcript = transcript_of(log, entry["scenario"])
            verdict = [l for l in transcript if l.startswith(f"PASS {entry['scenario']} (")]
            if verdict:
                notes.append(re.sub(r"^PASS \S+ \((.*)\)$", r"\1", verdict[0]))
            else:
                problems.append("driver:")
                problems += ["  " + l for l in transcript] or ["  (no transcript: the batch did not get here)"]
            if entry["run_after"] and case.get("expect") == "success":
                # What opening the named program did under this Wine.
                after = [l.strip() for l in transcript if l.strip().startswith(("box: ", "no box"))]
                if after:
                    notes.append(f"opening {entry['run_after']}: {after[-1]}")
            check_tree(entry, case, problems)
        if problems:
            failed += 1
            print(f"FAIL  {entry['shown']}")
            shown = problems if len(problems) <= 40 else problems[:30]
            for p in shown:
                print(f"    {p}")
            if len(shown) < len(problems):
                print(f"    ... and {len(problems) - len(shown)} more")
        else:
            passed += 1
            print(f"PASS  {entry['shown']}" + (f" ({'; '.join(notes)})" if notes else ""))
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def main(argv):
    if len(argv) >= 6 and argv[0] == "scenarios":
        make_scenarios(argv[1], argv[2], argv[3], argv[4], int(argv[5]), argv[6:])
        return 0
    if len(argv) == 2 and argv[0] == "check":
        return check(argv[1])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
