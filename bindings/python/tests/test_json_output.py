"""`teds decode --json` and `teds query --json` against the published schema,
and in agreement with the values of the C interface."""

import glob
import json
import os
import subprocess

import jsonschema
import pytest

import orvane_teds
from conftest import APPLICATION, WORKED_IMAGE, program, template25_image, worked_memory

SCHEMA_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "..", "tools", "schema",
                           "teds.schema.json")


@pytest.fixture(scope="module")
def validator():
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def teds(*args):
    done = subprocess.run([program("TEDS_PROGRAM"), *args], capture_output=True, timeout=60)
    return done.returncode, json.loads(done.stdout.decode("utf-8"))


@pytest.mark.parametrize("args, exit_code", [
    (["--image", WORKED_IMAGE.hex()], 0),
    (["--ds2430a", APPLICATION.hex(), worked_memory(True).hex()], 0),
    (["--ds2430a", APPLICATION.hex(), worked_memory(False).hex()], 0),
    (["--image", template25_image(extended=True, transfer=True).hex()], 0),
    (["--image", template25_image(manufacturer=1).hex()], 0),
    (["--image", template25_image(extended=True)[:11].hex()], 0),
    (["--image", "6480"], 1),
])
def test_decode_json_is_valid_and_agrees_with_the_c_interface(validator, args, exit_code):
    status, document = teds("decode", "--json", *args)
    validator.validate(document)
    assert status == document["exitCode"] == exit_code
    if args[0] == "--image":
        decoded = orvane_teds.decode_image(args[1])
    else:
        decoded = orvane_teds.decode_ds2430a(args[1], args[2])
    assert [p["goodChecksum"] for p in document["pages"]] == decoded.pages
    assert document["parseError"] == decoded.parse_error
    if not decoded.parsed:
        assert document["transducers"] == []
        return
    (t,) = document["transducers"]
    assert t["report"] == decoded.transducer.report
    assert t["errors"] == decoded.transducer.errors
    assert t["basicTeds"]["present"] == decoded.transducer.basic_teds.present
    for j, c in zip(t["templates"], decoded.transducer.templates):
        assert (j["group"], j["sensRef"], j["sensRef01"], j["tfSp"], j["calDate"],
                j["calDateText"]) == (c.group, c.sens_ref, c.sens_ref_01, c.tf_sp,
                                      c.cal_date, c.cal_date_text)


def test_query_json_of_the_built_in_bench_and_of_a_time_out(validator):
    status, document = teds("query", "--json", "--poll-ms", "0", "--quiet")
    validator.validate(document)
    assert status == 0 and document["devices"] == ["14 3A 7F 1B 05 00 00 B6"]
    assert document["transducers"][0]["nodes"] == document["devices"]
    status, document = teds("query", "--json", "--poll-ms", "60000", "--timeout-s", "0.2",
                            "--quiet")
    validator.validate(document)
    assert status == 3 and document["timedOut"] and document["transducers"] == []


def test_every_fault_matrix_case_is_valid(validator, tmp_path):
    env = dict(os.environ, ORVANE_TEDS_JSON_DIR=str(tmp_path))
    subprocess.run([program("FAULT_MATRIX_PROGRAM"), "--gtest_filter=*JsonDocument*",
                    "--gtest_brief=1"], env=env, check=True, capture_output=True, timeout=300)
    documents = sorted(glob.glob(str(tmp_path / "*.json")))
    assert len(documents) >= 30
    for path in documents:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
        validator.validate(document)
        assert not document["timedOut"], path


def test_scan_json_of_a_three_channel_bench_is_valid(validator, tmp_path):
    sensor = {"rom": "14 3A 7F 1B 05 00 00 B6", "application": APPLICATION.hex(),
              "memory": worked_memory(True).hex()}
    bench = {"name": "RACK", "address": 7, "channels": [
        {"channel": 0, "devices": [sensor]},
        {"channel": 1, "devices": []},
        {"channel": 2, "devices": [sensor], "faults": {"refuseSetMode": True}}]}
    path = tmp_path / "bench.json"
    path.write_text(json.dumps(bench), encoding="utf-8")
    status, document = teds("scan", "--json", "--bench", str(path), "--poll-ms", "0", "--quiet",
                            "--today", "2021-01-01")
    validator.validate(document)
    assert status == document["exitCode"] == 0
    assert [(r["where"], r["status"], r["overdue"]) for r in document["rows"]] == [
        ("RACK/7/0", "ok", True), ("RACK/7/1", "empty", None), ("RACK/7/2", "failed", None)]
