"""GrasshopperAnalysis: construction, job content as uploaded, output access."""

import base64

import pytest

import tessel.external.grasshopper as grasshopper
import tessel.external.offload_task as offload_task
from tessel.core import File
from tessel.errors import ExecutionError
from tessel.external.grasshopper import GrasshopperAnalysis

from fakes import FakePlatform, FakeResponse, patch_platform

PARAMETERS = {"my_int": 1, "my_bool": True, "my_string": "test", "my_list": [1, 2, 3],
              "my_dict": {"{0;0;0}": [1], "{0;1;1}": [1, 2, 3]}}
OUTPUT = {"absolutetolerance": 0.01, "angletolerance": 1.0, "modelunits": "Meters", "algo": "", "pointer": "",
          "cachesolve": False, "recursionlevel": 0, "values": [], "warnings": [], "errors": []}


def test_module_and_class_wiring():
    assert grasshopper.__all__ == ["GrasshopperAnalysis"]
    assert GrasshopperAnalysis.__mro__[1] is offload_task.OffloadTask
    assert GrasshopperAnalysis.__module__ == "tessel.external.grasshopper"
    assert GrasshopperAnalysis.__doc__.startswith(
        " ::version(v14.8.0)\n\nPerform an analysis using Grasshopper on a remote server by means of a worker.")
    assert "generic error. Error message provides more information" in GrasshopperAnalysis.__doc__
    init_doc = GrasshopperAnalysis.__init__.__doc__
    assert "Grasshopper script (.gh)" in init_doc
    assert ("Key names will be matched with the Hops parameter names in Grasshopper and substituted "
            "accordingly") in init_doc


def test_constructor_settings_and_trees():
    script = File.from_data(b"definition")
    analysis = GrasshopperAnalysis(script=script, input_parameters=PARAMETERS)
    assert (analysis._queue_name, analysis._version, analysis._result_content) == ("grasshopper", 1, None)
    assert analysis.script is script
    assert [t.data["ParamName"] for t in analysis._input_trees] == list(PARAMETERS)


@pytest.mark.parametrize("parameters", [None, {}, "not given"])
def test_no_parameters_give_no_values(parameters):
    kwargs = {} if parameters == "not given" else {"input_parameters": parameters}
    analysis = GrasshopperAnalysis(script=File.from_data(b"x"), **kwargs)
    assert analysis._input_trees == [] and analysis._generate_job_content()._data["values"] == []


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((File(),), {}), ((), {}), ((), {"input_parameters": {}}), ((File(), {}), {})],
)
def test_arguments_are_keyword_only_and_script_is_required(args, kwargs):
    with pytest.raises(TypeError):
        GrasshopperAnalysis(*args, **kwargs)


def test_conversion_errors_surface_from_the_constructor():
    with pytest.raises(IndexError):
        GrasshopperAnalysis(script=File(), input_parameters={"p": {"{0}": []}})


def test_conversion_is_looked_up_when_constructing(monkeypatch):
    monkeypatch.setattr(grasshopper, "_convert_dict_to_gh_trees", lambda d: ["converted", d])
    assert GrasshopperAnalysis(script=File(), input_parameters=None)._input_trees == ["converted", {}]


def test_job_content_members_in_order():
    analysis = GrasshopperAnalysis(script=File.from_data(b"\x00\xffgh"), input_parameters={"a": [1]})
    content = analysis._generate_job_content()
    assert isinstance(content, offload_task._JobContent)
    assert list(content._data.items()) == [
        ("algo", base64.b64encode(b"\x00\xffgh").decode()), ("pointer", None),
        ("values", [{"ParamName": "a", "InnerTree": {"{0}": [{"data": 1}]}}])]
    # The trees' own dictionaries are sent, not copies.
    assert content._data["values"][0] is analysis._input_trees[0].data


@pytest.mark.parametrize(("data", "algo"), [(b"", ""), (b"a", "YQ=="), (bytes(range(256)) * 40, None)])
def test_algo_is_the_base64_of_the_script(data, algo):
    content = GrasshopperAnalysis(script=File.from_data(data))._generate_job_content()._data
    assert content["algo"] == (algo if algo is not None else base64.b64encode(data).decode())


def test_script_is_read_when_the_job_content_is_made():
    analysis = GrasshopperAnalysis(script=File.from_data(b"old"))
    analysis.script = File.from_data(b"new")
    assert analysis._generate_job_content()._data["algo"] == base64.b64encode(b"new").decode()


@pytest.fixture
def platform(monkeypatch):
    p = FakePlatform(queue="grasshopper").succeed_after(1)
    p.download = FakeResponse(200, {"output": OUTPUT, "other": 1})
    patch_platform(monkeypatch, offload_task, p)
    return p


def test_execute_uploads_the_documented_bytes(platform):
    analysis = GrasshopperAnalysis(script=File.from_data(b"gh"), input_parameters=PARAMETERS)
    analysis.execute(timeout=10)
    values = ('[{"ParamName": "my_int", "InnerTree": {"{0}": [{"data": "1"}]}}, '
              '{"ParamName": "my_bool", "InnerTree": {"{0}": [{"data": true}]}}, '
              '{"ParamName": "my_string", "InnerTree": {"{0}": [{"data": "test"}]}}, '
              '{"ParamName": "my_list", "InnerTree": {"{0}": [{"data": 1}, {"data": 2}, {"data": 3}]}}, '
              '{"ParamName": "my_dict", "InnerTree": {"0;0;0": [{"data": "1"}], '
              '"0;1;1": [{"data": "1"}, {"data": "2"}, {"data": "3"}]}}]')
    assert platform.uploaded == [
        ('{"algo": "Z2g=", "pointer": null, "values": ' + values + ', "version": 1, "execution_timeout": 10}')
        .encode()]
    output = analysis.get_output()
    assert output == OUTPUT and analysis.get_output() is output is analysis._result_content["output"]


def test_failed_job_is_the_generic_execution_error(platform):
    platform.polls = [FakeResponse(200, {"status": "ERROR", "message": "solve failed", "result_url": None})]
    analysis = GrasshopperAnalysis(script=File.from_data(b"gh"))
    with pytest.raises(ExecutionError, match=r"^Something went wrong during the execution\.(\n|$)"):
        analysis.execute()
    with pytest.raises(ValueError, match=r"^result_content is None, first call \.execute\(\) before calling "
                                         r"get_output\(\)$"):
        analysis.get_output()


def test_base_constructor_is_reached_through_the_method_resolution_order():
    class Recording(offload_task.OffloadTask):
        def __init__(self, queue_name, version):
            self.seen = (queue_name, version)
            super().__init__(queue_name, version)

    class Custom(GrasshopperAnalysis, Recording):
        pass

    analysis = Custom(script=File.from_data(b"x"), input_parameters={"a": 1})
    assert analysis.seen == ("grasshopper", 1) and analysis._queue_name == "grasshopper"
