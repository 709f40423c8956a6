"""Plexum job content written directly, record by record, in the model builder's format.

For tests and benchmarks of the worker that do not go through
`tessel.external.plexum`: each method appends the record the builder would
write and returns the new object's id.
"""

from __future__ import annotations

import copy

from tessel.local.plexum_worker.schema import MODEL, RESULTS

_ZERO_POINT = {"x": 0.0, "y": 0.0, "z": 0.0}


def _point(p) -> dict:
    return {"x": p[0], "y": p[1], "z": p[2]}


class JobRecords:
    """The "Model" and "Results" of one job, built up record by record."""

    def __init__(self) -> None:
        self.model = {key: {"Functions": [], "Properties": []} for key in MODEL}
        self.results = {key: {"Functions": [], "Properties": []} for key in RESULTS}
        self._counts: dict[str, int] = {}

    def _add(self, key: str, name: str, params: dict, creates: bool = True) -> int:
        self.model[key]["Functions"].append([name, params])
        if creates:
            self._counts[key] = self._counts.get(key, 0) + 1
        return self._counts.get(key, 0)

    def vector(self, p1, p2) -> int:
        data = {"Point": {"P": dict(_ZERO_POINT)}, "Vector": {"P1": _point(p1), "P2": _point(p2)},
                "Axis": {"P1": dict(_ZERO_POINT), "P2": dict(_ZERO_POINT)},
                "Plane": {"P1": dict(_ZERO_POINT), "P2": dict(_ZERO_POINT), "P3": dict(_ZERO_POINT)},
                "Beta": {"Beta": 0.0}}
        return self._add("References", "Add", {"Item": {"ReferenceType": 2, "ReferenceData": data}})

    def point_reference(self, p) -> int:
        data = {"Point": {"P": _point(p)}, "Vector": {"P1": dict(_ZERO_POINT), "P2": dict(_ZERO_POINT)},
                "Axis": {"P1": dict(_ZERO_POINT), "P2": dict(_ZERO_POINT)},
                "Plane": {"P1": dict(_ZERO_POINT), "P2": dict(_ZERO_POINT), "P3": dict(_ZERO_POINT)},
                "Beta": {"Beta": 0.0}}
        return self._add("References", "Add", {"Item": {"ReferenceType": 1, "ReferenceData": data}})

    def catalogue_material(self, name: str = "C30/37", code: int = 2) -> int:
        return self._add("Materials", "AddFromCatalog", {"NationalDesignCode": code, "MaterialName": name})

    def concrete(self, e: float, nu: float, rho: float, *, name: str | None = None, f_ck: float = 30e3,
                 **others: float) -> int:
        number = self._counts.get("Materials", 0) + 1
        params = {"NationalDesignName": "", "MaterialDesignName": "", "Name": name or str(number),
                  "FillColour": 0, "ContourColour": 0, "Ex": e, "Ey": e, "Ez": e, "Nux": nu, "Nuy": nu, "Nuz": nu,
                  "Alfax": 0.0, "Alfay": 0.0, "Alfaz": 0.0, "Rho": rho, "Fck": f_ck, "GammaC": 1.5,
                  "Alfacc": 1.0, "Fit": 0.0}
        params.update(others)
        return self._add("Materials", "AddConcrete_EuroCode", params)

    def node(self, x, y, z) -> int:
        return self._add("Nodes", "Add", {"x": x, "y": y, "z": z})

    def rectangle(self, b: float, h: float, *, name: str | None = None) -> int:
        number = self._counts.get("CrossSections", 0) + 1
        return self._add("CrossSections", "AddRectangular",
                         {"Name": name or str(number), "b": b, "h": h, "Process": 0})

    def circle(self, d: float, *, name: str | None = None) -> int:
        number = self._counts.get("CrossSections", 0) + 1
        return self._add("CrossSections", "AddCircle", {"Name": name or str(number), "d": d})

    def line(self, start: int, end: int, arc: tuple | None = None) -> int:
        center, normal, alpha = arc if arc else ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 0.0)
        geom = {"CircleArc": {"Center": _point(center), "NormalVector": _point(normal), "Alfa": alpha},
                "EllipseArc": {"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0},
                               "Alfa": 0.0, "Ratio": 0.0, "StartAlfa": 0.0, "EndAlfa": 0.0}}
        return self._add("Lines", "Add", {"StartNode": start, "EndNode": end, "GeomType": 1 if arc else 0,
                                          "GeomData": geom})

    def beam(self, line: int, material: int, section: int, *, end_section: int | None = None,
             reference: int | None = None) -> int:
        if reference is not None:
            self.model["Lines"]["Properties"].append(["Reference", {"ReferenceIndex": reference, "LineIndex": line}])
        self._add("Lines", "DefineAsBeam", {
            "MaterialIndex": material, "StartCrossSectionIndex": section,
            "EndCrossSectionIndex": end_section or section, "StartEccentricity": dict(_ZERO_POINT),
            "EndEccentricity": dict(_ZERO_POINT), "LineIndex": line}, creates=False)
        return line

    def split(self, line: int, n: int) -> None:
        self._add("Lines", "SplitByN", {"N": n, "LineIndex": line}, creates=False)

    def support(self, node: int, beam: int, *, x=0.0, y=0.0, z=0.0, xx=0.0, yy=0.0, zz=0.0) -> int:
        stiffness = {"x": x, "y": y, "z": z, "xx": xx, "yy": yy, "zz": zz}
        return self._add("NodesSupports", "AddNodalBeamRelative", {
            "Stiffnesses": stiffness, "NonLinearity": dict.fromkeys(stiffness, 0),
            "Resistances": dict.fromkeys(stiffness, 0.0), "NodeId": node, "BeamId": beam})

    def foundation(self, beam: int, k_x: float, k_y: float, k_z: float) -> int:
        return self._add("LineSupports", "AddBeamElasticFoundation", {
            "BeamId": beam, "StiffnessesXYZ": {"x": k_x, "y": k_y, "z": k_z},
            "NonLinearityXYZ": {"x": 0, "y": 0, "z": 0}, "ResistancesXYZ": {"x": 0.0, "y": 0.0, "z": 0.0}})

    def domain(self, lines, material: int, thickness: float, surface_type: int = 3) -> int:
        return self._add("Domains", "Add", {"LineIds": list(lines), "SurfaceAttr": {
            "Thickness": thickness, "SurfaceType": surface_type, "RefZId": 0, "RefXId": 0, "MaterialId": material,
            "ElasticFoundation": dict(_ZERO_POINT), "NonLinearity": {"x": 0, "y": 0, "z": 0},
            "Resistance": dict(_ZERO_POINT), "Characteristics": 0}})

    def mesh(self, domains, size: float, geometry: int = 1) -> None:
        self._add("Domains", "GenerateMeshOnSelectedDomains", {"MeshParameters": {
            "MeshSize": size, "MeshType": 1, "IsFitToPointLoad": 0, "FitToPointLoadValue": 0.0,
            "IsFitToLineLoad": 0, "FitToLineLoadValue": 0.0, "IsFitToSurfaceLoad": 0, "FitToSurfaceLoadValue": 0.0,
            "MeshGeometryType": geometry, "QuadMeshQuality": 2}, "DomainIds": list(domains)}, creates=False)

    def polygon(self, points, material: int, thickness: float, surface_type: int = 3, *, beams: int | None = None,
                beam_material: int | None = None) -> tuple[int, list[int], list[int]]:
        """A domain on a closed polygon of new nodes and lines; each line a beam of cross-section `beams`."""
        nodes = [self.node(*p) for p in points]
        lines = [self.line(nodes[k], nodes[(k + 1) % len(nodes)]) for k in range(len(nodes))]
        if beams is not None:
            for line in lines:
                self.beam(line, beam_material or material, beams)
        return self.domain(lines, material, thickness, surface_type), nodes, lines

    def domain_self_weight(self, load_case: int, domain: int) -> int:
        return self._add("Loads", "AddDomainSelfWeight", {"DomainId": domain, "LoadCaseId": load_case})

    def domain_constant(self, load_case: int, domain: int, q, *, projected: bool = False, system: int = 0) -> int:
        return self._add("Loads", "AddDomainConstant", {"Data": {
            "LoadCaseId": load_case, "DomainId": domain, "qx": q[0], "qy": q[1], "qz": q[2],
            "DistributionType": 1 if projected else 0, "SystemGLR": system}})

    def eccentricity(self, domain: int, kind: int, *, ecc_1: float = 0.0, ecc_2: float = 0.0, ecc_3: float = 0.0,
                     p1=(0.0, 0.0, 0.0), p2=(0.0, 0.0, 0.0), p3=(0.0, 0.0, 0.0)) -> None:
        self._add("Domains", "SetExcentricity", {"Index": domain, "DomainExcentricity": {
            "ExcentricityType": kind, "exc1": ecc_1, "exc2": ecc_2, "exc3": ecc_3, "P1": _point(p1),
            "P2": _point(p2), "P3": _point(p3), "GroupID": 0}}, creates=False)

    def domain_linear(self, load_case: int, domain: int, values, points, *, component: int = 2,
                      distribution: int = 0, on_holes: bool = False) -> int:
        data = {"LoadCaseId": load_case, "DomainId": domain, "DistributionType": distribution,
                "LoadDistributionType": 1, "Component": component, "P1": values[0], "P2": values[1],
                "P3": values[2]}
        for k, p in enumerate(points, 1):
            data.update({f"x{k}": p[0], f"y{k}": p[1], f"z{k}": p[2]})
        data["WindowLoad"] = 0 if on_holes else 1
        return self._add("Loads", "AddDomainLinear", {"Data": data})

    def section(self, start, end, normal, *, name: str | None = None) -> int:
        self._counts["Sections"] = self._counts.get("Sections", 0) + 1
        number = self._counts["Sections"]
        self.results["Sections"]["Functions"].append(["Add", {"Section": {
            "SectionType": 1, "Name": name or str(number), "Visible": 0, "P": _point(start), "N": _point(normal),
            "SegmentEndP": _point(end), "InAllResultBlocks": 1, "ResultBlock": {
                "AnalysisType": 0, "CombinationType": 0, "EnvelopeUID": 0, "LoadCaseId": 1, "LoadCombinationId": 1,
                "LoadLevel": 1, "MinMaxType": 2, "ResultType": 1}, "ForAllResultComponents": 1,
            "ResultComponent": 0, "DisplayMode": 0, "L": 0, "R": 0, "DiagOnBothSide": 0, "DiagInPlane": 0}}])
        return number

    def section_results(self, sections, combinations, *, stresses: bool = False) -> None:
        name = f"GetSegmentChainSurface{'Stresses' if stresses else 'Forces'}ByLoadCombinationId"
        for combination in combinations:
            for section in sections:
                self.results["Sections"]["Functions"].append([name, {
                    "Index": section, "ChainIndex": 1, "LoadCombinationId": combination,
                    "LoadLevelOrModeShapeOrTimeStep": 1, "AnalysisType": 0}])

    def load_case(self, name: str | None = None) -> int:
        number = self._counts.get("LoadCases", 0) + 1
        return self._add("LoadCases", "Add", {"Name": name or str(number), "LoadCaseType": 0})

    def self_weight(self, load_case: int, beam: int) -> int:
        return self._add("Loads", "AddBeamSelfWeight", {"LineId": beam, "LoadCaseId": load_case})

    def combination(self, factors: dict[int, float], *, kind: int = 4, name: str | None = None) -> int:
        number = self._counts.get("LoadCombinations", 0) + 1
        return self._add("LoadCombinations", "Add", {"Name": name or str(number), "CombinationType": kind,
                                                     "Factors": list(factors.values()),
                                                     "LoadCaseIds": list(factors)})

    def request(self, key: str, name: str, id_key: str, ids) -> None:
        for target in ids:
            self.results[key]["Functions"].append([name, {id_key: target}])

    def displacements(self, nodes, *, by_load_case: bool = True) -> None:
        kind = "LoadCase" if by_load_case else "LoadCombination"
        self.request("Displacements", f"NodalDisplacementBy{kind}Id", "NodeId", nodes)

    def support_forces(self, supports, *, by_load_case: bool = True) -> None:
        kind = "LoadCase" if by_load_case else "LoadCombination"
        self.request("Forces", f"NodalSupportForceBy{kind}Id", "NodalSupportId", supports)

    def line_forces(self, beams, *, by_load_case: bool = True) -> None:
        kind = "LoadCase" if by_load_case else "LoadCombination"
        self.request("Forces", f"LineForcesBy{kind}Id", "LineId", beams)

    def content(self, command: str = "Run", *, timeout: int = 60) -> dict:
        """The whole job content, with one linear analysis, as the analysis class sends it."""
        model = copy.deepcopy(self.model)
        model["Calculation"]["Functions"].append(["LinearAnalysis", {"UserInteraction": 1}])
        results = {"LoadCombinations": list(range(1, self._counts.get("LoadCombinations", 0) + 1)),
                   "LoadCases": list(range(1, self._counts.get("LoadCases", 0) + 1)),
                   **copy.deepcopy(self.results)}
        return {"Model": model, "Results": results, "command": command, "version": 1,
                "execution_timeout": timeout}
