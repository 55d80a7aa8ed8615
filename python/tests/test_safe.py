"""kel_safe on stores the kel-safe tool made, in its default format and in
format 1: what each side writes, the other reads; several processes append
at once; failures raise the documented exceptions.

KEL_SAFE_LIBRARY names the library under test; KEL_SAFE_TOOL the tool
(default: kel-safe beside the library)."""

import multiprocessing
import os
import subprocess

import pytest

import kel_safe

PASSWORD = "Correct-Horse-42-Battery"
TOOL = os.environ.get("KEL_SAFE_TOOL") or os.path.join(
    os.path.dirname(os.environ.get("KEL_SAFE_LIBRARY", "")), "kel-safe")
FORMATS = {"default": ["--kdf-memory", "19", "--kdf-passes", "2"], "1": ["--format", "1"]}


def tool(store, *args, input=b""):
    password_file = os.path.join(os.path.dirname(store), "pw")
    with open(password_file, "w") as file:
        file.write(PASSWORD + "\n")
    return subprocess.run([TOOL, "-q", "-s", store, "--password-file", password_file, *args],
                          input=input, capture_output=True, check=True).stdout


@pytest.fixture(params=sorted(FORMATS))
def store(request, tmp_path):
    path = str(tmp_path / "tool-made")
    tool(path, "create", *FORMATS[request.param])
    tool(path, "add", "tool-made", input=b"from the tool")
    return path


def test_round_trip_with_the_tool(store):
    with kel_safe.Safe(store, PASSWORD) as safe:
        assert safe["tool-made"] == b"from the tool"
        safe["py"] = b"from\0python"
        safe[b"\xffraw"] = b"bytes name"
        with pytest.raises(kel_safe.Exists):
            safe["py"] = b"again"
        safe.replace("tool-made", b"replaced")
        with pytest.raises(KeyError):
            safe.replace("absent", b"x")
        safe["doomed"] = b"x"
        del safe["doomed"]
        safe.rename("py", "python")
        assert "python" in safe and "py" not in safe and "doomed" not in safe
        assert sorted(safe) == sorted(["tool-made", "python", os.fsdecode(b"\xffraw")])
        assert len(safe) == 3
        buffer = bytearray(32)
        assert safe.get_into("python", buffer) == 11 and buffer[:11] == b"from\0python"
        with pytest.raises(kel_safe.Error) as short:
            safe.get_into("python", bytearray(4))
        assert short.value.status_name == "buffer_too_small" and short.value.length == 11
        with pytest.raises(TypeError):
            safe.get_into("python", bytes(32))  # immutable: never written into
        with pytest.raises(KeyError):
            safe["absent"]
        assert safe.check() == (3, 0)
    assert tool(store, "get", "python") == b"from\0python"
    assert tool(store, "get", "tool-made") == b"replaced"


def append(store, worker):
    with kel_safe.Safe(store, PASSWORD) as safe:
        for i in range(8):
            safe["w%d-%d" % (worker, i)] = b"v%d-%d" % (worker, i)


def test_processes_append_at_once(store):
    workers = [multiprocessing.Process(target=append, args=(store, w)) for w in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
        assert worker.exitcode == 0
    with kel_safe.Safe(store, PASSWORD) as safe:
        assert len(safe) == 1 + 4 * 8
        for w in range(4):
            for i in range(8):
                assert safe["w%d-%d" % (w, i)] == b"v%d-%d" % (w, i)


def test_failures_raise_their_exceptions(store, tmp_path):
    with pytest.raises(kel_safe.WrongPassword):
        kel_safe.Safe(store, "Wrong-Horse-42-Battery")
    with pytest.raises(kel_safe.StoreNotFound):
        kel_safe.Safe(str(tmp_path / "missing"), PASSWORD)
    (tmp_path / "junk.safe").write_bytes(b"not a store")
    with pytest.raises(kel_safe.NotAStore):
        kel_safe.Safe(str(tmp_path / "junk"), PASSWORD)
    with pytest.raises(kel_safe.Exists):
        kel_safe.create(store, PASSWORD, kdf_memory_kib=19 * 1024, kdf_passes=2)
    # A value appended last, then a byte inside its sealed bytes flipped.
    with kel_safe.Safe(store, PASSWORD) as safe:
        safe["big"] = b"v" * 4096
    with open(store + ".safe", "r+b") as file:
        file.seek(-2000, os.SEEK_END)
        byte = file.read(1)
        file.seek(-2000, os.SEEK_END)
        file.write(bytes([byte[0] ^ 0x40]))
    with kel_safe.Safe(store, PASSWORD) as safe:
        with pytest.raises(kel_safe.Damaged):
            safe["big"]
        assert safe.check() == (1, 1)
        assert safe["tool-made"] == b"from the tool"


def test_a_store_python_made_opens_in_the_tool(tmp_path):
    path = str(tmp_path / "python-made")
    with kel_safe.create(path, bytearray(PASSWORD.encode()), kdf_memory_kib=19 * 1024,
                         kdf_passes=2) as safe:
        assert safe.format >= 2
        safe["made"] = b"in python"
    assert tool(path, "get", "made") == b"in python"


def test_key_slots(tmp_path):
    path = str(tmp_path / "slots")
    other_password = "Another-Secret-77-Phrase"
    key_file = str(tmp_path / "key-file")
    with open(key_file, "wb") as file:
        file.write(b"key file bytes")
    identity, public_key = kel_safe.generate_identity()
    assert isinstance(identity, bytearray) and kel_safe.check_public_key(public_key)
    assert kel_safe.identity_public_key(identity) == public_key
    assert not kel_safe.check_public_key("not a key")
    with pytest.raises(kel_safe.InvalidArgument):
        kel_safe.identity_public_key(b"no identity")
    with kel_safe.create(path, PASSWORD, 3, kdf_memory_kib=19 * 1024, kdf_passes=2) as safe:
        safe["slotted"] = b"value"
        safe.grant_recipient(public_key, "laptop")
        with pytest.raises(kel_safe.Exists):
            safe.grant_recipient(public_key)
        safe.grant_key_file(other_password, key_file, label="usb")
    identity_file = str(tmp_path / "identity")
    with os.fdopen(os.open(identity_file, os.O_WRONLY | os.O_CREAT, 0o600), "wb") as file:
        file.write(identity)

    with kel_safe.Safe(path, identity=identity) as safe:
        assert safe["slotted"] == b"value"
        slots = safe.slots()
        assert [slot.kind for slot in slots] == ["password", "recipient", "password_and_key_file"]
        assert [slot.index for slot in slots] == [0, 1, 2] and all(slot.intact for slot in slots)
        assert slots[1].label == "laptop" and slots[1].public_key == public_key
        assert slots[1].opened_here and not slots[0].opened_here and slots[2].label == "usb"
        safe.revoke_slot(0)
        assert safe["slotted"] == b"value"
    with pytest.raises(kel_safe.WrongPassword):
        kel_safe.Safe(path, PASSWORD)  # revoked
    with pytest.raises(kel_safe.WrongPassword):
        kel_safe.Safe(path, other_password)  # without its key file
    with pytest.raises(kel_safe.WrongPassword):
        kel_safe.Safe(path, identity=kel_safe.generate_identity()[0])
    with kel_safe.Safe(path, other_password, key_file=key_file) as safe:
        assert safe["slotted"] == b"value"
        with pytest.raises(kel_safe.NotFound):
            safe.revoke_slot(5)
        safe.revoke_slot(0)  # the recipient's
        with pytest.raises(kel_safe.InvalidArgument):
            safe.revoke_slot(0)  # never the last one
    with pytest.raises(kel_safe.WrongPassword):
        kel_safe.Safe(path, identity_file=identity_file)
