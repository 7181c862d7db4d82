"""Hostile arguments to every entry point of the module, in batches run by
child processes (api_fuzz.py): no call may crash, abort, hang, leave an
error set behind a result, or end in anything but its documented outcomes.

The counts are environment variables, so that a run by hand can go further
than CI: VORNEX_FUZZ_SEED, VORNEX_FUZZ_BATCHES, VORNEX_FUZZ_CALLS (per
batch) and VORNEX_FUZZ_JOBS (batches at once)."""

import io
import json
import os
import pathlib
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import api_fuzz
import vornex
from conftest import PASSPHRASE

SEED = os.environ.get("VORNEX_FUZZ_SEED", "vornex-fuzz-1")
BATCHES = int(os.environ.get("VORNEX_FUZZ_BATCHES", "6"))
CALLS = int(os.environ.get("VORNEX_FUZZ_CALLS", "2000"))
JOBS = int(os.environ.get("VORNEX_FUZZ_JOBS", "2"))
# A watchdog, not a measure: a batch takes seconds, so only a hang comes
# near it.
HANG_BOUND = float(os.environ.get("VORNEX_FUZZ_HANG_SECONDS", "600"))

PROGRAM = pathlib.Path(api_fuzz.__file__)


def write_settings(workspace, path):
    names = sorted(workspace.summary["invites"])
    path.write_text(json.dumps({
        "vault_dir": workspace.path,
        "invites": {n: workspace.invite_text(n) for n in names},
        "invite_binary": {n: workspace.invite_bytes(n).hex() for n in names},
        "passphrase": PASSPHRASE,
        "user_ids": {n: workspace.user_id(n) for n in names},
    }))
    return path


def run_child(settings, where, mode, batch, **options):
    where.mkdir(parents=True, exist_ok=True)
    command = [sys.executable, str(PROGRAM), mode, "--settings", str(settings), "--seed", SEED, "--batch",
               str(batch)]
    for name, value in options.items():
        command += [f"--{name}", str(value)]
    # A session of its own: no controlling terminal for a passphrase prompt.
    try:
        return subprocess.run(command, cwd=where, capture_output=True, text=True, errors="replace",
                              timeout=HANG_BOUND, start_new_session=True)
    except subprocess.TimeoutExpired as timeout:
        return timeout


def run_batch(settings, root, batch):
    """A batch's summary, or a failure that names the call it stopped in."""
    where = root / f"batch{batch}"
    progress = where / "progress"
    done = run_child(settings, where, "batch", batch, calls=CALLS, progress=progress)
    if isinstance(done, subprocess.CompletedProcess) and done.returncode == 0:
        return json.loads(done.stdout.splitlines()[-1])
    lines = progress.read_text().split() if progress.exists() else []
    index = int(lines[-1]) if lines else 0
    if isinstance(done, subprocess.TimeoutExpired):
        what = f"did not finish in {HANG_BOUND:.0f} s (a hang)"
    elif done.returncode < 0:
        what = f"died of {signal.Signals(-done.returncode).name}"
    else:
        what = f"exited with {done.returncode}"
    replay = run_child(settings, where, "replay", batch, call=index)
    shown = replay.stdout.splitlines()[:1] if isinstance(replay, subprocess.CompletedProcess) else []
    stderr = done.stderr if isinstance(done.stderr, str) else (done.stderr or b"").decode(errors="replace")
    return {"crash": f"batch {batch} {what} at call {index}: {' '.join(shown)}\n{stderr[-3000:]}"}


def summarise(summaries):
    calls = sum(s.get("calls", 0) for s in summaries)
    crashes = [s["crash"] for s in summaries if "crash" in s]
    violations = [v for s in summaries for v in s.get("violations", [])]
    return calls, crashes, violations


def show(violation):
    return f"{violation['target']}: {violation['call']}\n    got {violation['got']}\n    {violation['reason']}"


def test_hostile_arguments_in_child_batches(workspace, tmp_path, report):
    settings = write_settings(workspace, tmp_path / "settings.json")
    with ThreadPoolExecutor(max_workers=JOBS) as pool:
        summaries = list(pool.map(lambda b: run_batch(settings, tmp_path, b), range(BATCHES)))
    calls, crashes, violations = summarise(summaries)
    report(f"API fuzz: seed {SEED!r}, {BATCHES} batches of {CALLS} calls ({calls} run), "
           f"{len(crashes)} crashed or hung, {len(violations)} violations")
    # The vault the batches wrote to still opens and validates.
    workspace.open("alice").list()
    problems = crashes + [show(v) for v in violations[:40]]
    assert not problems, "\n".join(problems)


# The judge itself: what a batch reports as a violation, without a child.
class _Case:
    def __init__(self, *specs):
        self.specs = list(specs)


def _raised(error, context=None):
    error.__context__ = context
    return ("raise", error)


InternalFailure = type("InternalFailure", (BaseException,), {})

JUDGED = {
    "the expected error": (_Case(api_fuzz.vx(api_fuzz.SELECTOR_MSG)),
                           _raised(vornex.VornexError(api_fuzz.SELECTOR_MSG)), None),
    "another text": (_Case(api_fuzz.vx(api_fuzz.SELECTOR_MSG)), _raised(vornex.VornexError("other")), "expected"),
    "a subclass where the class is exact": (_Case(api_fuzz.vx(api_fuzz.SELECTOR_MSG)),
                                            _raised(vornex.NotFound(api_fuzz.SELECTOR_MSG)), "expected"),
    "SystemError": (_Case(api_fuzz.vxany()), _raised(SystemError("returned a result with an exception set")),
                    "expected"),
    "an internal failure": (_Case(api_fuzz.vxany()), _raised(InternalFailure("boom")), "expected"),
    "an error with another attached": (_Case(api_fuzz.vxany()),
                                       _raised(vornex.VornexError("x"), ValueError("inner")), "attached"),
    "a TypeError naming the argument": (_Case(api_fuzz.type_error("key")),
                                        _raised(TypeError("get_field() argument 'key' must be str, not int")), None),
    "a TypeError naming another": (_Case(api_fuzz.type_error("key")),
                                   _raised(TypeError("argument 'path' must be str")), "expected"),
    "a result that fails its check": (_Case(api_fuzz.ok(api_fuzz.result_is(str))), ("ok", b"x"),
                                      "result of type bytes"),
    "UnicodeEncodeError": (_Case(api_fuzz.vx(api_fuzz.SELECTOR_MSG)),
                           _raised(UnicodeEncodeError("utf-8", "\ud800", 0, 1, "surrogates not allowed")),
                           "expected"),
    "a wrong parse reason": (_Case(api_fuzz.Spec("vxany", 'invalid selector "', reason="selector must not be empty")),
                             _raised(vornex.VornexError('invalid selector "a//b": selector path must not contain '
                                                        'empty segments')), "parse error"),
}


@pytest.mark.parametrize("case, outcome, verdict", JUDGED.values(), ids=JUDGED.keys())
def test_the_judge(case, outcome, verdict):
    got = api_fuzz.judge(case, outcome)
    assert got is None if verdict is None else verdict in got


def test_a_crashing_batch_is_reported_with_its_call(workspace, tmp_path):
    settings = write_settings(workspace, tmp_path / "settings.json")
    data = json.loads(settings.read_text())
    data["abort_at"] = 3
    settings.write_text(json.dumps(data))
    summary = run_batch(settings, tmp_path, 0)
    assert "died of SIGABRT at call 3:" in summary.get("crash", "")


@pytest.mark.parametrize("text, reason", [
    ("app/db", None), ('app/"a/b"@k=v=w', None), ("a\\@k=v", None), ("app@b=1&a=2", None),
    ("", "selector must not be empty"), ("@k=v", "selector must not be empty"),
    ("a//b", "selector path must not contain empty segments"),
    ('a/""', "selector path must not contain empty segments"),
    ("a@", "secret labels are @key=value pairs separated by &"),
    ("a@k=v&", "secret labels are @key=value pairs separated by &"),
    ("a@=v", "label keys and values must not be empty"), ("a@k=1&k=2", "a label key may appear only once"),
    ("a@\u00e9=1&e\u0301=2", "a label key may appear only once"), ('a"b', "selector has an unterminated quote"),
    ("a\\", "selector ends with a dangling backslash escape"),
    ("a//b@k", "selector path must not contain empty segments"),
])
def test_the_selector_grammar_agrees_with_the_module(workspace, text, reason):
    vault = workspace.open("alice")
    try:
        api_fuzz.parse_selector(text)
        ours = None
    except ValueError as e:
        ours = str(e)
    assert ours == reason
    try:
        vault.list(text)
        theirs = None
    except vornex.VornexError as e:
        theirs = str(e).split(": ", 1)[1]
    assert theirs == reason


# Faults the fuzz found, each as one call: lone surrogates in text
# arguments raised UnicodeEncodeError (labels with one in a name and in its
# value: SystemError, with the first error attached), and reading a path
# sequence let its own failure through. The calls the module's other tests
# already make are not repeated here.
S = "\ud800"

WRONG_VALUE = {
    "set selector": (lambda v: v.set(S, "x"), api_fuzz.SELECTOR_MSG),
    "delete selector": (lambda v: v.delete("app/" + S), api_fuzz.SELECTOR_MSG),
    "fields selector": (lambda v: v.fields(S), api_fuzz.SELECTOR_MSG),
    "get_field selector": (lambda v: v.get_field(S, "k"), api_fuzz.SELECTOR_MSG),
    "set_field selector": (lambda v: v.set_field(S, "k", "x"), api_fuzz.SELECTOR_MSG),
    "delete_field selector": (lambda v: v.delete_field(S, "k"), api_fuzz.SELECTOR_MSG),
    "invitation text": (lambda v: vornex.Auth.from_invite("vrnx1" + S), api_fuzz.MATERIAL_MSG),
    "invitation read()": (lambda v: vornex.Auth.from_invite(io.StringIO(S)), api_fuzz.MATERIAL_MSG),
    "invitation read() of a str subclass": (lambda v: vornex.Auth.from_invite(api_fuzz.Reader(api_fuzz.HostileStr(S))),
                                            api_fuzz.MATERIAL_MSG),
}


@pytest.mark.parametrize("call, text", WRONG_VALUE.values(), ids=WRONG_VALUE.keys())
def test_surrogate_is_a_value_of_the_wrong_kind(workspace, call, text):
    vault = workspace.open("alice")
    before = workspace.vault_bytes()
    with pytest.raises(vornex.VornexError) as info:
        call(vault)
    assert type(info.value) is vornex.VornexError and info.value.args == (text,)
    assert info.value.__context__ is None
    assert workspace.vault_bytes() == before


WRONG_ARGUMENT = {
    "set_field key": (lambda v: v.set_field("app/db", S, "x"), "key"),
    "Selector label name": (lambda v: vornex.Selector(["app"], {S: "v"}), "labels"),
    "Selector path of a 2-D view": (lambda v: vornex.Selector(memoryview(b"abcd").cast("B", shape=[2, 2])), "path"),
    "Selector path of a released view": (lambda v: vornex.Selector(api_fuzz.released_view()), "path"),
    "Selector path that lies about its length": (lambda v: vornex.Selector(api_fuzz.WeirdLen(-1)), "path"),
    "Selector path that empties itself": (lambda v: vornex.Selector(api_fuzz.ShrinkingList(["a", "b"])), "path"),
}


@pytest.mark.parametrize("call, name", WRONG_ARGUMENT.values(), ids=WRONG_ARGUMENT.keys())
def test_argument_of_the_wrong_kind_names_it(workspace, call, name):
    vault = workspace.open("alice")
    before = workspace.vault_bytes()
    with pytest.raises(TypeError) as info:
        call(vault)
    assert type(info.value) is TypeError and f"'{name}'" in str(info.value)
    assert info.value.__context__ is None
    assert workspace.vault_bytes() == before
