"""A strip slab on one beam along its middle line, as Plexum job records, for the worker's surface tests."""

from plexum_records import JobRecords

E = 30e6  # kN/m2
RIGID = 1e12
SHELL = 4


def ribbed_strip(width, eccentricity=None, *, length=6.0, thickness=0.1, size=0.25, load=(0.0, 0.0, -10.0),
                 surface_type=SHELL):
    """The strip (Poisson's ratio 0) on a 0.3 x 0.5 m beam simply supported at its ends, a uniform load.

    `eccentricity`: (type, keyword arguments of the eccentricity record) or None. Requests the
    displacement of the node at the middle, the support forces and the beam's forces. Returns the job,
    the middle node and the beam.
    """
    job = JobRecords()
    material = job.concrete(E, 0.0, 0.0)
    points = [(0, 0, 0), (length, 0, 0), (length, width / 2, 0), (length, width, 0), (0, width, 0),
              (0, width / 2, 0)]
    nodes = [job.node(*p) for p in points]
    lines = [job.line(nodes[k], nodes[(k + 1) % 6]) for k in range(6)]
    domain = job.domain(lines, material, thickness, surface_type)
    if eccentricity is not None:
        job.eccentricity(domain, eccentricity[0], **eccentricity[1])
    rib = job.beam(job.line(nodes[5], nodes[2]), material, job.rectangle(0.3, 0.5))
    job.support(nodes[5], rib, x=RIGID, y=RIGID, z=RIGID, xx=RIGID)
    job.support(nodes[2], rib, y=RIGID, z=RIGID, xx=RIGID)
    middle = job.node(length / 2, width / 2, 0)
    job.mesh([domain], size)
    job.domain_constant(job.load_case(), domain, load)
    job.displacements([middle])
    job.support_forces([1, 2])
    job.line_forces([rib])
    return job, middle, rib
