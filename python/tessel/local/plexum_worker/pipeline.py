"""The analysis as a pipeline of stages, each taking the previous one's output.

replay (records -> `Model`) -> mesh plan -> frame (FE nodes and elements) ->
assembly (global stiffness) -> loads (load vectors, combination weights) ->
solve (displacements of the load cases) -> recovery (`Solution`) -> results
and report. Geometry serves every stage.
"""

from __future__ import annotations

from . import mesh
from .assembly import assemble
from .errors import AnalysisError
from .frame import Frame
from .loads import apply
from .model import Model
from .recovery import Solution, recover
from .solve import solve


def discretise(model: Model) -> Frame:
    """The model's finite-element nodes, beam elements and domain meshes."""
    return Frame(model, mesh.plan(model))


def analyse(model: Model) -> Solution:
    """A linear static analysis of every load case and combination of the model."""
    frame = discretise(model)
    if not frame.chains and not frame.meshes:
        raise AnalysisError("the model has no beams or domains to analyse")
    assembly = assemble(frame)
    loading = apply(assembly)
    return recover(assembly, loading, solve(assembly, loading))
