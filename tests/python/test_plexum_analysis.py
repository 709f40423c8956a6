"""PlexumAnalysis: constructor, job content (command, results request,
template, serialisation order), the getters, and a whole job on a fake
platform."""

import base64
import io
import json
from types import SimpleNamespace

import pytest

import tessel.external.offload_task as offload_task
import tessel.external.plexum as plexum
from tessel.core import File
from tessel.external.plexum import PlexumAnalysis

from fakes import FakePlatform, FakeResponse, patch_platform


class FakeModel:
    """Duck-typed model that records the order in which it is read."""

    def __init__(self, combinations=(3, 4), cases=(1,), results=None):
        self.log = []
        self._combinations = [SimpleNamespace(id=i) for i in combinations]
        self._cases = [SimpleNamespace(id=i) for i in cases]
        self._results = {"Forces": {"Functions": [], "Properties": []}} if results is None else results

    @property
    def load_combinations(self):
        self.log.append("load_combinations")
        return self._combinations

    @property
    def load_cases(self):
        self.log.append("load_cases")
        return self._cases

    @property
    def results(self):
        model = self

        class Results:
            def _serialize(self):
                model.log.append("results")
                return dict(model._results)

        return Results()

    def _serialize(self):
        self.log.append("serialize")
        return {"Nodes": {"Functions": [], "Properties": []}}


class Template(io.BytesIO):
    def __init__(self, data, log):
        super().__init__(data)
        self.log = log

    def getvalue(self):
        self.log.append("template")
        return super().getvalue()


def test_wiring_and_constructor():
    assert plexum.__all__[0] == "PlexumAnalysis" and len(plexum.__all__) == 30
    assert PlexumAnalysis.__mro__[1] is offload_task.OffloadTask
    assert "ExecutionError: generic error. Error message provides more information" in PlexumAnalysis.__doc__
    model = FakeModel()
    a = PlexumAnalysis(model)
    assert (a._queue_name, a._version, a._result_content) == ("plexum", 1, None)
    assert (a._model, a._return_results, a._return_model, a._report_template) == (model, True, False, None)
    t = io.BytesIO(b"x")
    b = PlexumAnalysis(model=model, return_results=0, return_model="yes", report_template=t)
    assert (b._return_results, b._return_model, b._report_template) == (0, "yes", t)
    assert model.log == []  # nothing read or validated when constructing
    with pytest.raises(TypeError):
        PlexumAnalysis(model, True)
    with pytest.raises(TypeError):
        PlexumAnalysis()


@pytest.mark.parametrize(("results", "model", "command"), [
    (True, True, "RunReturnModel"), (True, False, "Run"), (False, True, "CreateModel"),
    (1, [], "Run"), ([], "x", "CreateModel"),
])
def test_command_follows_the_switches(results, model, command):
    content = PlexumAnalysis(FakeModel(), return_results=results, return_model=model)._generate_job_content()
    assert isinstance(content, offload_task._JobContent)
    assert list(content._data) == ["Model", "Results", "command"] and content._data["command"] == command


def test_both_switches_false_leave_the_model_unchanged():
    model = FakeModel()
    with pytest.raises(ValueError, match=r"^At least one of 'return_results' or 'return_model' should be True\.$"):
        PlexumAnalysis(model, return_results=False, return_model=False)._generate_job_content()
    assert model.log == []


def test_results_request_and_order_of_reading():
    log = []
    model = FakeModel(results={"LoadCases": ["replaced"], "Forces": 1, "Sections": 2})
    model.log = log
    content = PlexumAnalysis(model, report_template=Template(b"abc", log))._generate_job_content()._data
    assert json.dumps(content["Results"]) == json.dumps(
        {"LoadCombinations": [3, 4], "LoadCases": ["replaced"], "Forces": 1, "Sections": 2})
    assert list(content) == ["Model", "Results", "command", "report_template"]
    assert content["report_template"] == "YWJj"
    assert content["Model"] == {"Nodes": {"Functions": [], "Properties": []}}
    assert log == ["load_combinations", "load_cases", "results", "template", "serialize"]


@pytest.mark.parametrize(("template", "member"), [(None, None), (b"", None), (io.BytesIO(b""), "")],
                         ids=["none", "empty-bytes", "empty-bytesio"])
def test_template_member_only_for_a_truthy_template(template, member):
    content = PlexumAnalysis(FakeModel(), report_template=template)._generate_job_content()._data
    assert content.get("report_template") == member and ("report_template" in content) == (member is not None)


def test_file_template_is_read_binary():
    data = bytes(range(256))
    content = PlexumAnalysis(FakeModel(), report_template=File.from_data(data))._generate_job_content()._data
    assert content["report_template"] == base64.b64encode(data).decode()


MODEL_FILE = base64.b64encode(b"model bytes").decode()
RESULT_FILE = base64.b64encode(b"result bytes").decode()


@pytest.fixture
def finished():
    a = PlexumAnalysis(FakeModel(), return_results=True, return_model=True)
    a._result_content = {"Forces": {"a": 1}, "ModelFile": MODEL_FILE, "Displacements": [], "ResultFile": RESULT_FILE,
                         "Sections": None}
    return a


def test_get_results_drops_the_file_members_in_order(finished):
    results = finished.get_results()
    assert list(results.items()) == [("Forces", {"a": 1}), ("Displacements", []), ("Sections", None)]
    assert results["Forces"] is finished._result_content["Forces"]


@pytest.mark.parametrize(("getter", "data"), [("get_model_file", b"model bytes"), ("get_result_file", b"result bytes")])
def test_file_getters(finished, getter, data):
    body = getattr(finished, getter)()
    assert isinstance(body, io.BytesIO) and body.getvalue() == data
    as_file = getattr(finished, getter)(as_file=True)
    assert isinstance(as_file, File) and as_file.getvalue_binary() == data
    with pytest.raises(TypeError):
        getattr(finished, getter)(True)


@pytest.mark.parametrize(("getter", "flag", "message"), [
    ("get_model_file", "_return_model", "The model is not available when return_model = False"),
    ("get_result_file", "_return_results", "The result file is not available when return_results = False"),
])
def test_file_getters_refuse_when_not_asked_for(getter, flag, message):
    a = PlexumAnalysis(FakeModel(), return_results=True, return_model=True)
    setattr(a, flag, False)
    with pytest.raises(ValueError, match="^" + message + "$"):
        getattr(a, getter)()  # even before execute
    a._result_content = {}
    setattr(a, flag, True)
    with pytest.raises(KeyError):
        getattr(a, getter)()


def test_file_getter_with_null_body(finished):
    finished._result_content["ModelFile"] = ""  # the empty text is the null body
    assert finished.get_model_file() is None and finished.get_model_file(as_file=True) is None


@pytest.fixture
def platform(monkeypatch):
    p = FakePlatform(queue="plexum").succeed_after(1)
    p.download = FakeResponse(200, {"Forces": {}, "ModelFile": MODEL_FILE})
    patch_platform(monkeypatch, offload_task, p)
    return p


def test_execute_uploads_the_job_content(platform):
    analysis = PlexumAnalysis(FakeModel(cases=(1, 2)), return_results=False, return_model=True)
    analysis.execute(timeout=30)
    assert platform.uploaded == [
        b'{"Model": {"Nodes": {"Functions": [], "Properties": []}}, "Results": {"LoadCombinations": [3, 4], '
        b'"LoadCases": [1, 2], "Forces": {"Functions": [], "Properties": []}}, "command": "CreateModel", '
        b'"version": 1, "execution_timeout": 30}']
    assert analysis.get_results() == {"Forces": {}}
    assert analysis.get_model_file().getvalue() == b"model bytes"


def test_both_switches_false_send_nothing(platform):
    analysis = PlexumAnalysis(FakeModel(), return_results=False, return_model=False)
    with pytest.raises(ValueError, match="At least one of"):
        analysis.execute(timeout=30)
    assert platform.calls == []  # no platform job created and left unstarted


@pytest.mark.skipif(not hasattr(plexum, "LoadCaseInterface"), reason="the model builder is not complete")
def test_real_model_serialises_once_per_job(platform):
    model = plexum.Model()
    analysis = PlexumAnalysis(model)
    for _ in range(2):
        platform.succeed_after(0)
        analysis.execute(timeout=10)
    second = json.loads(platform.uploaded[1])
    assert len(second["Model"]["Calculation"]["Functions"]) == 2
    assert list(second["Results"])[:2] == ["LoadCombinations", "LoadCases"]
