"""Random sequences of builder operations, valid and failing, with patched
globals and Python subclasses in the mix, against a small plain-Python model
of the records they must leave: the same records, the same exceptions and
the same length of every interface, after every step."""

import json
from contextlib import ExitStack
from dataclasses import dataclass
from unittest import mock

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule

from tessel.errors import ModelError
from tessel.external import plexum

ZERO = {"x": 0.0, "y": 0.0, "z": 0.0}
STRAIGHT = {"CircleArc": {"Center": ZERO, "NormalVector": ZERO, "Alfa": 0.0},
            "EllipseArc": {"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0},
                           "Alfa": 0.0, "Ratio": 0.0, "StartAlfa": 0.0, "EndAlfa": 0.0}}
LISTS = {"nodes": "Node", "materials": "Material", "cross_sections": "CrossSection", "lines": "Line",
         "load_cases": "LoadCase", "loads": None, "load_combinations": "LoadCombination"}


@dataclass(eq=False)
class Ref:
    """An object of the plain-Python model: its kind, model and id (a member: its line's)."""

    kind: str
    model: "RefModel"
    id: int
    name: object = None
    type_name: str = ""  # the class of the real object (an application's subclass, say)


class RefModel:
    """The records a model must hold, written the plain way."""

    def __init__(self):
        self.records = {name: [] for name in LISTS}
        self.objects = {name: [] for name in LISTS}

    def check(self, obj, kind, function, argument):
        if obj.kind != kind:
            raise TypeError(f"{function}() argument '{argument}' must be a {kind}, not {obj.type_name} {obj.id}")
        if obj.model is not self:
            raise ModelError(f"{function}() argument '{argument}': {obj.type_name} {obj.id} belongs to another "
                             "model; use the objects created through this model")
        return obj.id

    def add(self, interface, name, parameters, kind=None, obj_name=None):
        self.records[interface].append([name, parameters])
        if kind is None:
            return None
        obj = Ref(kind, self, len(self.objects[interface]) + 1, obj_name)
        self.objects[interface].append(obj)
        return obj

    def named(self, interface, name, what):
        effective = name or str(len(self.objects[interface]) + 1)
        if any(o.name == effective for o in self.objects[interface]):
            raise ModelError(f"{what} with name '{effective}' already exists")
        return effective


class Pair:
    """The real object and its plain counterpart."""

    def __init__(self, real, ref):
        self.real, self.ref = real, ref


class Subnode(plexum.Node):
    """An application's subclass, patched in as the module's Node."""


class Builder(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.models = [(plexum.Model(), RefModel()) for _ in range(2)]
        self.pairs = {kind: [] for kind in ("Node", "Material", "CrossSection", "Line", "Member", "LoadCase",
                                           "LoadCombination")}

    def run(self, index, real_call, ref_call):
        """Both calls must give the same outcome: a new object pair or the same exception."""
        model, ref_model = self.models[index]
        try:
            expected = ref_call(ref_model)
        except (TypeError, ModelError) as error:
            expected = error
        try:
            got = real_call(model)
        except (TypeError, ModelError) as error:
            assert isinstance(expected, BaseException), f"raised {error!r}, expected success"
            assert (type(error), str(error)) == (type(expected), str(expected))
            return
        assert not isinstance(expected, BaseException), f"succeeded, expected {expected!r}"
        if expected is not None:
            expected.type_name = type(got).__name__
            self.pairs[expected.kind].append(Pair(got, expected))

    def pick(self, data, kind):
        """An object of `kind`, or now and then one of another kind."""
        kinds = [k for k in self.pairs if self.pairs[k]]
        if not kinds:
            return None
        chosen = kind if self.pairs[kind] and data.draw(st.integers(0, 9)) else data.draw(st.sampled_from(kinds))
        return data.draw(st.sampled_from(self.pairs[chosen]))

    @rule(index=st.integers(0, 1), xyz=st.tuples(st.integers(-3, 3), st.floats(-5, 5), st.integers(0, 2)),
          patched=st.booleans())
    def node(self, index, xyz, patched):
        with ExitStack() as stack:
            if patched:
                stack.enter_context(mock.patch.object(plexum, "Node", Subnode))
            self.run(index, lambda m: m.nodes.create(*xyz),
                     lambda r: r.add("nodes", "Add", dict(zip("xyz", xyz)), "Node"))

    @rule(index=st.integers(0, 1), name=st.sampled_from(["C20/25", "C30/37"]))
    def material(self, index, name):
        self.run(index, lambda m: m.materials.add_from_catalog(name, plexum.Material.DesignCode.EURO_CODE),
                 lambda r: r.add("materials", "AddFromCatalog", {"NationalDesignCode": 2, "MaterialName": name},
                                 "Material", name))

    @rule(index=st.integers(0, 1), name=st.sampled_from([None, "", "R1", "2"]), height=st.sampled_from([0.4, 1]))
    def section(self, index, name, height):
        def ref(r):
            effective = r.named("cross_sections", name, "Cross-section")
            return r.add("cross_sections", "AddRectangular", {"Name": effective, "b": 0.2, "h": height,
                                                               "Process": 0}, "CrossSection", effective)

        self.run(index, lambda m: m.cross_sections.create_rectangular(0.2, height, name=name), ref)

    @precondition(lambda self: self.pairs["Node"])
    @rule(index=st.integers(0, 1), data=st.data())
    def line(self, index, data):
        a, b = self.pick(data, "Node"), self.pick(data, "Node")

        def ref(r):
            start = r.check(a.ref, "Node", "create", "start_node")
            end = r.check(b.ref, "Node", "create", "end_node")
            return r.add("lines", "Add", {"StartNode": start, "EndNode": end, "GeomType": 0, "GeomData": STRAIGHT},
                         "Line")

        self.run(index, lambda m: m.lines.create(a.real, b.real), ref)

    @precondition(lambda self: self.pairs["Line"] and self.pairs["Material"] and self.pairs["CrossSection"])
    @rule(index=st.integers(0, 1), data=st.data(), through_line=st.booleans())
    def beam(self, index, data, through_line):
        line, material, section = (self.pick(data, k) for k in ("Line", "Material", "CrossSection"))

        def ref(r):
            ids = [r.check(material.ref, "Material", "define_as_beam", "material"),
                   r.check(section.ref, "CrossSection", "define_as_beam", "css_start")]
            line_id = r.check(line.ref, "Line", "define_as_beam", "line")
            r.add("lines", "DefineAsBeam", {"MaterialIndex": ids[0], "StartCrossSectionIndex": ids[1],
                                            "EndCrossSectionIndex": ids[1], "StartEccentricity": ZERO,
                                            "EndEccentricity": ZERO, "LineIndex": line_id})
            return Ref("Member", r, line_id)

        if through_line and isinstance(line.real, plexum.Line):
            # The line's own interface, in the line's own model.
            index = [r for _, r in self.models].index(line.ref.model)
            real = lambda m: line.real.define_as_beam(material.real, section.real)  # noqa: E731
        else:
            real = lambda m: m.lines.define_as_beam(line.real, material.real, section.real)  # noqa: E731
        self.run(index, real, ref)

    @rule(index=st.integers(0, 1), name=st.sampled_from([None, "dead", "1"]))
    def load_case(self, index, name):
        def ref(r):
            effective = r.named("load_cases", name, "Load case")
            return r.add("load_cases", "Add", {"Name": effective, "LoadCaseType": 0}, "LoadCase", effective)

        self.run(index, lambda m: m.load_cases.create(name), ref)

    @precondition(lambda self: self.pairs["Member"] and self.pairs["LoadCase"])
    @rule(index=st.integers(0, 1), data=st.data())
    def self_weight(self, index, data):
        case, member = self.pick(data, "LoadCase"), self.pick(data, "Member")

        def ref(r):
            line_id = r.check(member.ref, "Member", "create_beam_self_weight", "member")
            case_id = r.check(case.ref, "LoadCase", "create_beam_self_weight", "load_case")
            return r.add("loads", "AddBeamSelfWeight", {"LineId": line_id, "LoadCaseId": case_id})

        self.run(index, lambda m: m.loads.create_beam_self_weight(case.real, member.real), ref)

    @precondition(lambda self: self.pairs["LoadCase"])
    @rule(index=st.integers(0, 1), data=st.data())
    def combination(self, index, data):
        cases = data.draw(st.lists(st.sampled_from(self.pairs["LoadCase"]), min_size=1, max_size=3, unique=True))
        factors = [1.35, 1.5, 0.9][:len(cases)]

        def ref(r):
            ids = [r.check(c.ref, "LoadCase", "create", "load_case_factors") for c in cases]
            effective = r.named("load_combinations", None, "Load combination")
            return r.add("load_combinations", "Add", {"Name": effective, "CombinationType": 4, "Factors": factors,
                                                      "LoadCaseIds": ids}, "LoadCombination", effective)

        self.run(index, lambda m: m.load_combinations.create(plexum.LoadCombination.Type.ULS,
                                                             {c.real: f for c, f in zip(cases, factors)}), ref)

    # Compared now and then and at the end: reading the records makes them
    # Python objects, so records also wait in compact form between looks.
    @rule()
    def same_records_and_lengths(self):
        for model, ref_model in self.models:
            for name in LISTS:
                interface = getattr(model, name)
                assert json.loads(json.dumps(interface._serialize()["Functions"])) == ref_model.records[name], name
                if LISTS[name]:
                    assert len(interface) == len(ref_model.objects[name]), name

    def teardown(self):
        self.same_records_and_lengths()


TestBuilder = Builder.TestCase
TestBuilder.settings = settings(max_examples=100, stateful_step_count=30, deadline=None)
