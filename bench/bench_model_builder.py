"""The model builder on models of n beams against a plain-Python rendition of
the same operations, measured in the same run with the cycle collector on.

Per beam: nodes.create, lines.create (from the previous node), define_as_beam
and create_beam_self_weight. Timed: building the model and serialising it
(Model._serialize), best of 3; and building it and shipping it
(PlexumAnalysis.execute against a platform answered in process, up to the
job content's bytes) against the plain-Python build and json.dumps. Also printed: the JSON size of the serialised
model (both builders must give the same bytes) and the memory held per beam
(tracemalloc, model alive after building).
"""

from __future__ import annotations

import gc
import json
import sys
import time
import tracemalloc
from enum import Enum

from tessel.external import plexum

SIZES = (10**3, 10**4, 10**5)
REPEATS = 3
MEMORY_BEAMS = 10**4


# ------------------------------------------------- the plain-Python rendition

class _InstructionList:
    def __init__(self):
        self._functions = []
        self._properties = []

    def add_function(self, name, parameters):
        self._functions.append((name, parameters))

    def add_property(self, name, value):
        self._properties.append((name, value))

    def serialize(self):
        return {"Functions": self._functions, "Properties": self._properties}


class Object:
    def __init__(self, id_):
        self._id = id_

    @property
    def id(self):
        return self._id


class _Interface:
    def __init__(self):
        self._instructions = _InstructionList()
        self._objects = []

    def __len__(self):
        return len(self._objects)

    def _serialize(self):
        return self._instructions.serialize()


class _Point3D:
    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z

    @classmethod
    def from_tuple(cls, xyz):
        return cls(xyz[0], xyz[1], xyz[2])

    def serialize(self):
        return {"x": self.x, "y": self.y, "z": self.z}


class CircleArc:
    def __init__(self, center, normal_vector, alpha):
        self.center, self.normal_vector, self.alpha = center, normal_vector, alpha

    def _serialize(self):
        return {"Center": _Point3D.from_tuple(self.center).serialize(),
                "NormalVector": _Point3D.from_tuple(self.normal_vector).serialize(), "Alfa": self.alpha}


class Node(Object):
    def __init__(self, id_, x, y, z):
        super().__init__(id_)
        self._x, self._y, self._z = x, y, z


class Line(Object):
    class _GeomType(Enum):
        STRAIGHT_LINE = 0
        CIRCLE_ARC = 1

    def __init__(self, id_, interface, node1, node2):
        super().__init__(id_)
        self._interface, self._node1, self._node2 = interface, node1, node2

    def define_as_beam(self, material, css_start, css_end=None, *, local_z_reference=None):
        return self._interface.define_as_beam(self, material, css_start, css_end, local_z_reference=local_z_reference)


class Member(Object):
    class _Type(Enum):
        BEAM = 1
        RIB = 2

    def __init__(self, line, type_):
        super().__init__(line.id)
        self._line, self._type = line, type_


class Load(Object):
    pass


class NodeInterface(_Interface):
    def create(self, x, y, z):
        self._instructions.add_function("Add", {"x": x, "y": y, "z": z})
        node = Node(len(self._objects) + 1, x, y, z)
        self._objects.append(node)
        return node


class LineInterface(_Interface):
    def __init__(self):
        super().__init__()
        self._members = {}

    def create(self, start_node, end_node, circle_arc=None):
        arc = circle_arc if circle_arc else CircleArc((0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 0.0)
        self._instructions.add_function("Add", {
            "StartNode": start_node.id,
            "EndNode": end_node.id,
            "GeomType": (Line._GeomType.CIRCLE_ARC if circle_arc else Line._GeomType.STRAIGHT_LINE).value,
            "GeomData": {
                "CircleArc": arc._serialize(),
                "EllipseArc": {"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0},
                               "Alfa": 0.0, "Ratio": 0.0, "StartAlfa": 0.0, "EndAlfa": 0.0},
            },
        })
        line = Line(len(self._objects) + 1, self, start_node, end_node)
        self._objects.append(line)
        return line

    def define_as_beam(self, line, material, css_start, css_end=None, *, local_z_reference=None):
        parameters = {
            "MaterialIndex": material.id,
            "StartCrossSectionIndex": css_start.id,
            "EndCrossSectionIndex": css_end.id if css_end else css_start.id,
            "StartEccentricity": {"x": 0.0, "y": 0.0, "z": 0.0},
            "EndEccentricity": {"x": 0.0, "y": 0.0, "z": 0.0},
            "LineIndex": line.id,
        }
        self._instructions.add_function("DefineAsBeam", parameters)
        member = Member(line, Member._Type.BEAM)
        self._members[line.id] = member
        return member


class LoadInterface(_Interface):
    def create_beam_self_weight(self, load_case, member):
        self._instructions.add_function("AddBeamSelfWeight", {"LineId": member.id, "LoadCaseId": load_case.id})
        load = Load(len(self._objects) + 1)
        self._objects.append(load)
        return load


class PythonModel:
    """The part of the model the benchmark uses."""

    def __init__(self):
        self.nodes, self.lines, self.loads = NodeInterface(), LineInterface(), LoadInterface()

    def _serialize(self):
        return {"Nodes": self.nodes._serialize(), "Lines": self.lines._serialize(),
                "Loads": self.loads._serialize()}

    def job_content(self, timeout):
        """What PlexumAnalysis(model).execute(timeout) uploads for this model, built the plain way."""
        empty = {"Functions": [], "Properties": []}
        parts = self._serialize()
        model = {"References": empty, "Materials": empty, "Nodes": parts["Nodes"], "CrossSections": empty,
                 "Lines": parts["Lines"], "Domains": empty, "NodesSupports": empty, "LineSupports": empty,
                 "LoadCases": empty, "Loads": parts["Loads"], "LoadCombinations": empty,
                 "Calculation": {"Functions": [("LinearAnalysis", {"UserInteraction": 1})], "Properties": []}}
        results = {"LoadCombinations": [], "LoadCases": [], "Forces": empty, "Displacements": empty,
                   "Sections": empty}
        return {"Model": model, "Results": results, "command": "Run", "version": 1, "execution_timeout": timeout}


# ------------------------------------------------------------ the C++ module

# Until the module has its load interface the benchmark leaves the
# self-weight loads out of both builders (and says so).
WITH_LOADS = hasattr(plexum, "LoadInterface")


class ModuleModel:
    """The same part of a model of the C++ module."""

    def __init__(self):
        if WITH_LOADS:
            model = plexum.Model()
            self.model = model
            self.nodes, self.lines, self.loads = model.nodes, model.lines, model.loads
        else:
            self.nodes, self.lines, self.loads = plexum.NodeInterface(), plexum.LineInterface(), _Interface()

    def _serialize(self):
        return {"Nodes": self.nodes._serialize(), "Lines": self.lines._serialize(),
                "Loads": self.loads._serialize()}


class Handle(Object):
    """A material, cross-section or load case: only the identifier is read."""


def build(make_model, n):
    model = make_model()
    nodes, lines, loads = model.nodes, model.lines, model.loads
    material, css, load_case = Handle(1), Handle(1), Handle(1)
    previous = nodes.create(0.0, 0.0, 0.0)
    for i in range(1, n + 1):
        node = nodes.create(float(i), 0.0, 0.0)
        line = lines.create(previous, node)
        member = line.define_as_beam(material, css)
        if WITH_LOADS:
            loads.create_beam_self_weight(load_case, member)
        previous = node
    return model


def best_time(make_model, n) -> float:
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        model = build(make_model, n)
        model._serialize()
        best = min(best, time.perf_counter() - start)
        del model
    return best


def held_per_beam(make_model, n) -> tuple[float, float]:
    """Memory held per beam once built, and once serialised (records made)."""
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    model = build(make_model, n)
    built = tracemalloc.get_traced_memory()[0] - before
    serialised = model._serialize()
    after = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del model, serialised
    return built / n, after / n


def phases(make_model, n) -> dict[str, float]:
    """Best times of building and of serialising, with the collector on and off."""
    best: dict[str, float] = {}
    for collector in ("on", "off"):
        for _ in range(REPEATS):
            gc.collect()
            if collector == "off":
                gc.disable()
            try:
                start = time.perf_counter()
                model = build(make_model, n)
                built = time.perf_counter()
                model._serialize()
                # The first allocations after the call run the collection
                # that the records made by it are due.
                _ = [[] for _ in range(1000)]
                done = time.perf_counter()
            finally:
                gc.enable()
            for key, value in ((f"build, collector {collector}", built - start),
                               (f"serialise, collector {collector}", done - built)):
                best[key] = min(best.get(key, float("inf")), value)
            del model
    return best


# ------------------------------------------------------- build and ship

class _Response:
    def __init__(self, status_code, body=None):
        self.status_code, self._body = status_code, body
        self.content = json.dumps(body).encode()

    def json(self):
        return self._body


class _Session:
    """The platform of one job, answered at once in process; keeps the uploaded bytes."""

    uploaded: list[bytes] = []

    def post(self, url, **kwargs):
        if url.endswith("/jobs/plexum/"):
            return _Response(200, {"id": "1", "upload_url": "https://storage.test/up", "upload_data": {}})
        if "files" in kwargs:
            _Session.uploaded.append(kwargs["files"]["file"])
            return _Response(204)
        return _Response(200, {})

    def get(self, url, **kwargs):
        if url.endswith("/jobs/plexum/1"):
            return _Response(200, {"status": "SUCCESS", "message": "", "result_url": "https://storage.test/r"})
        return _Response(200, {"ModelFile": "", "ResultFile": ""})


class _Context:
    job_token = "bench"
    session = session_with_retries = session_with_retries_no_read = _Session()


class _Clock:
    @staticmethod
    def sleep(seconds):
        pass

    time = staticmethod(time.perf_counter)


def ship_with_module(n) -> bytes:
    """Builds the model and runs PlexumAnalysis.execute against the in-process platform."""
    model = build(ModuleModel, n)
    _Session.uploaded.clear()
    plexum.PlexumAnalysis(model.model).execute(timeout=60)
    return _Session.uploaded[-1]


def ship_with_python(n) -> bytes:
    return json.dumps(build(PythonModel, n).job_content(60)).encode("utf-8")


def best_ship_time(ship, n) -> float:
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        ship(n)
        best = min(best, time.perf_counter() - start)
    return best


def build_and_ship() -> None:
    from unittest import mock

    from tessel.external import offload_task

    patches = [mock.patch.object(offload_task, name, value) for name, value in (
        ("_Context", _Context), ("_get_api_endpoint", lambda: "https://platform.test/api/"),
        ("_get_requests_authorization_header", lambda token: {}), ("_get_requests_user_agent_header", dict),
        ("time", _Clock))]
    for p in patches:
        p.start()
    try:
        if ship_with_module(100) != ship_with_python(100):
            sys.exit("the two ways ship different bytes")
        print(f"build + ship (PlexumAnalysis.execute, job content bytes), collector on, best of {REPEATS}")
        for n in SIZES[1:]:
            native, python = best_ship_time(ship_with_module, n), best_ship_time(ship_with_python, n)
            print(f"  n = {n:>6}  C++ {native * 1e3:8.1f} ms  Python build + json.dumps {python * 1e3:8.1f} ms  "
                  f"ratio {python / native:5.2f}x")
    finally:
        for p in patches:
            p.stop()


def main() -> None:
    gc.enable()
    reference = json.dumps(build(PythonModel, 100)._serialize())
    if json.dumps(build(ModuleModel, 100)._serialize()) != reference:
        sys.exit("the two builders disagree")

    steps = "node, line, beam, self-weight" if WITH_LOADS else "node, line, beam; no LoadInterface yet, so no self-weight"
    print(f"model of n beams ({steps} per beam), build + _serialize, collector on, best of {REPEATS}")
    for n in SIZES:
        native, python = best_time(ModuleModel, n), best_time(PythonModel, n)
        size = len(json.dumps(build(ModuleModel, n)._serialize()).encode())
        print(f"  n = {n:>6}  C++ {native * 1e3:8.1f} ms  Python {python * 1e3:8.1f} ms  "
              f"ratio {python / native:5.2f}x  JSON {size / 1e6:7.2f} MB")
    (native, native_after), (python, python_after) = (held_per_beam(ModuleModel, MEMORY_BEAMS),
                                                      held_per_beam(PythonModel, MEMORY_BEAMS))
    print(f"  memory held per beam (n = {MEMORY_BEAMS}), built: C++ {native:7.0f} B  Python {python:7.0f} B  "
          f"ratio {native / python:4.2f}")
    print(f"  memory held per beam (n = {MEMORY_BEAMS}), serialised: C++ {native_after:7.0f} B  "
          f"Python {python_after:7.0f} B  ratio {native_after / python_after:4.2f}")
    n = SIZES[-1]
    print(f"  where the time goes, n = {n}, best of {REPEATS}:")
    native_phases, python_phases = phases(ModuleModel, n), phases(PythonModel, n)
    for label, native_phase in native_phases.items():
        print(f"    {label:<26} C++ {native_phase * 1e3:8.1f} ms  Python {python_phases[label] * 1e3:8.1f} ms")
    build_and_ship()

if __name__ == "__main__":
    main()
