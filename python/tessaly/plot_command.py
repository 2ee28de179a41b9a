"""``python3 -m tessaly plot KIND RUN [options] -o FILE.png``: one of the
standard figures of :mod:`tessaly.plots` as an image file."""
from .commands import exit_status

KINDS = ("traj", "rtmap", "hist", "cascade", "flows", "overview", "contingency", "eigenvalues", "mode", "basin",
         "basin-samples")


def _node_list(text):
    return [int(v) for v in text.split(",")]


def _observed(text):
    return [v if v == "mean" else int(v) for v in text.split(",")]


def add_subcommand(subparsers):
    parser = subparsers.add_parser(
        "plot", help="draw a standard figure of a run",
        description="Draw a standard figure of a run: traj (frequency and phase trajectories), rtmap (return-time "
                    "map), hist (frequency and increment histograms), cascade (grid with tripped lines, largest "
                    "load ratio), flows (line flows against capacity), overview (return-time map and one "
                    "trajectory), contingency (cascade size per line outage, grid with one outage's trips), "
                    "eigenvalues (linear stability: the complex plane), mode (participation of the nodes in one "
                    "least-damped mode), basin (grid coloured by basin stability, values with error bars), "
                    "basin-samples (one node's sampled offsets coloured by class).")
    parser.add_argument("kind", choices=KINDS, help="the figure")
    parser.add_argument("path", metavar="RUN", help="run manifest, run report, or the directory holding the manifest")
    parser.add_argument("-o", "--out", required=True, metavar="FILE", help="image to write (.png, .pdf, .svg)")
    parser.add_argument("--ic", type=int, help="traj: raster initial condition (default 0)")
    parser.add_argument("--run", dest="stochastic_run", type=int, metavar="K",
                        help="traj, hist, cascade, flows: stochastic run K (index in the manifest's runs)")
    parser.add_argument("--nodes", type=_node_list, metavar="I,J,...",
                        help="traj, hist: nodes to draw (default: all of a small grid, else a selection)")
    parser.add_argument("--node", type=int,
                        help="rtmap, overview: perturbed node (default: the first kicked); basin-samples: sampled "
                             "node (default: the first)")
    parser.add_argument("--observed", type=_observed, default="mean", metavar="mean,I,J,...",
                        help="rtmap: one panel per observed node I, J, … or \"mean\", the mean over all nodes "
                             "(default: mean)")
    parser.add_argument("--outage", type=int, metavar="K",
                        help="contingency: the contingency whose trips the grid shows (default: the worst)")
    parser.add_argument("--index", type=int, default=0, metavar="K",
                        help="mode: least-damped mode K (0: the least damped; default 0)")
    parser.add_argument("--dpi", type=int, default=100, help="resolution of raster images (default 100)")
    parser.set_defaults(run=run)


def figure(args):
    from . import plots
    if args.kind == "traj":
        return plots.traj(args.path, ic=args.ic, stochastic_run=args.stochastic_run, nodes=args.nodes)
    if args.kind == "rtmap":
        return plots.rtmap(args.path, node=args.node, observed=args.observed)
    if args.kind == "overview":
        return plots.overview(args.path, node=args.node)
    if args.kind == "hist":
        return plots.hist(args.path, stochastic_run=args.stochastic_run or 0, nodes=args.nodes)
    if args.kind in ("eigenvalues", "mode"):
        from . import linear_plots
        return linear_plots.eigenvalues(args.path) if args.kind == "eigenvalues" else linear_plots.mode(
            args.path, index=args.index)
    if args.kind in ("basin", "basin-samples"):
        from . import basinplots
        return basinplots.basin(args.path) if args.kind == "basin" else basinplots.basin_samples(args.path, args.node)
    if args.kind == "cascade":
        return plots.cascade(args.path, stochastic_run=args.stochastic_run)
    if args.kind == "contingency":
        return plots.contingency(args.path, outage=args.outage)
    return plots.flows(args.path, stochastic_run=args.stochastic_run or 0)


def run(args):
    from .manifest import ManifestError
    from .plots import PlotError
    from .results import ResultFileError
    return exit_status("plot", lambda: figure(args).savefig(args.out, dpi=args.dpi),
                       (ManifestError, ResultFileError, PlotError))
