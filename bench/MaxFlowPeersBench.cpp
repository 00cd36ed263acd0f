// Max-flow on the benchmark grid graphs, solved by FlowGraph and by peer libraries used through
// their public interfaces (Boost's Boykov-Kolmogorov and push-relabel, LEMON's preflow); prints
// seconds per graph (median of 3, building outside the clock), ratios and the flow values (for
// FlowGraph the capacity of its cut).
//
// LEMON is set up as its documentation advises for speed: a SmartDigraph (the faster structure
// where arcs are never erased) and runMinCut(), the first phase of the preflow algorithm, which
// already yields the maximum flow value and the minimum cut (the second phase only turns the
// preflow into a flow, which none of the others are asked for either: FlowGraph and
// boykov_kolmogorov_max_flow return the value and the cut, push_relabel_max_flow the value).
// Its tolerance for double values is set to suit the capacities (kLemonEpsilon), and it keeps its
// levels in the LinkedElevator, the alternative its documentation names to the default Elevator:
// profiled as a black box on these grids, the default spends nearly all its time lifting nodes
// to the top level (liftHighestActiveToTop), so the ratio would measure that choice.
#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/boykov_kolmogorov_max_flow.hpp>
#include <boost/graph/push_relabel_max_flow.hpp>
#include <lemon/elevator.h>
#include <lemon/preflow.h>
#include <lemon/smart_graph.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "graphcut/FlowGraph.h"
#include "GridGraphs.h"

using namespace veltrix;

namespace {

// Runs `solve` three times (building outside the clock) and returns the median seconds.
double medianSeconds(const std::function<void()>& build, const std::function<double()>& solve,
                     double& flow) {
    std::vector<double> secs;
    for (int r = 0; r < 3; ++r) {
        build();
        const auto t0 = std::chrono::steady_clock::now();
        flow = solve();
        secs.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(secs.begin(), secs.end());
    return secs[1];
}

struct Result {
    double seconds, flow;
};

// Capacity of FlowGraph's minimum cut summed in double: FlowGraph accumulates its flow in float,
// which on a million nodes drifts from the exact value by more than the peers differ from each other.
double cutCapacity(const GridGraph& grid, const FlowGraph& g, const std::vector<FlowGraph::Node>& nodes) {
    double cut = 0;
    for (int i = 0; i < grid.nodeCount; ++i) cut += g.isSourceSide(nodes[i]) ? grid.sink[i] : grid.source[i];
    for (const auto& e : grid.edges) {
        const bool u = g.isSourceSide(nodes[e.u]), v = g.isSourceSide(nodes[e.v]);
        if (u && !v) cut += e.cap;
        if (v && !u) cut += e.revCap;
    }
    return cut;
}

Result runFlowGraph(const GridGraph& grid) {
    FlowGraph* g = nullptr;
    double flow = 0;
    std::vector<FlowGraph::Node> nodes(static_cast<size_t>(grid.nodeCount));
    auto build = [&] {
        delete g;
        g = new FlowGraph;
        for (auto& n : nodes) n = g->addNode();
        for (int i = 0; i < grid.nodeCount; ++i) g->addTerminalCaps(nodes[i], grid.source[i], grid.sink[i]);
        for (const auto& e : grid.edges) g->addEdge(nodes[e.u], nodes[e.v], e.cap, e.revCap);
    };
    double s = medianSeconds(build, [&] { return static_cast<double>(g->computeMaxFlow()); }, flow);
    flow = cutCapacity(grid, *g, nodes);
    delete g;
    return {s, flow};
}

using BoostTraits = boost::adjacency_list_traits<boost::vecS, boost::vecS, boost::directedS>;
using BoostEdgeProperties =
    boost::property<boost::edge_capacity_t, double,
                    boost::property<boost::edge_residual_capacity_t, double,
                                    boost::property<boost::edge_reverse_t, BoostTraits::edge_descriptor>>>;
using BoostGraph =
    boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS, boost::no_property, BoostEdgeProperties>;
// Boykov-Kolmogorov also keeps a colour, a distance and a predecessor arc per vertex.
using BoostBkGraph = boost::adjacency_list<
    boost::vecS, boost::vecS, boost::directedS,
    boost::property<boost::vertex_color_t, boost::default_color_type,
                    boost::property<boost::vertex_distance_t, long,
                                    boost::property<boost::vertex_predecessor_t, BoostTraits::edge_descriptor>>>,
    BoostEdgeProperties>;

template <class Graph, class Solve>
Result runBoost(const GridGraph& grid, Solve solveOn) {
    Graph* g = nullptr;
    double flow = 0;
    const int src = grid.nodeCount, snk = grid.nodeCount + 1;
    auto build = [&] {
        delete g;
        g = new Graph(grid.nodeCount + 2);
        auto cap = boost::get(boost::edge_capacity, *g);
        auto rev = boost::get(boost::edge_reverse, *g);
        auto pair = [&](int u, int v, double c, double rc) {
            auto e1 = boost::add_edge(u, v, *g).first;
            auto e2 = boost::add_edge(v, u, *g).first;
            cap[e1] = c;
            cap[e2] = rc;
            rev[e1] = e2;
            rev[e2] = e1;
        };
        for (int i = 0; i < grid.nodeCount; ++i) {
            pair(src, i, grid.source[i], 0.0);
            pair(i, snk, grid.sink[i], 0.0);
        }
        for (const auto& e : grid.edges) pair(e.u, e.v, e.cap, e.revCap);
    };
    double s = medianSeconds(build, [&] { return static_cast<double>(solveOn(*g, src, snk)); }, flow);
    delete g;
    return {s, flow};
}

Result runBoostPushRelabel(const GridGraph& grid) {
    return runBoost<BoostGraph>(grid, [](BoostGraph& g, int s, int t) { return boost::push_relabel_max_flow(g, s, t); });
}

Result runBoostBk(const GridGraph& grid) {
    return runBoost<BoostBkGraph>(
        grid, [](BoostBkGraph& g, int s, int t) { return boost::boykov_kolmogorov_max_flow(g, s, t); });
}

// LEMON compares floating-point values with a tolerance, by default 1e-10 for double. With
// capacities around 1 summed into excesses of some 1e4, rounding leaves residues above that,
// which the preflow then keeps pushing around; 1e-6 is far below any capacity here and well
// above the rounding.
const double kLemonEpsilon = 1e-6;

Result runLemon(const GridGraph& grid) {
    double flow = 0;
    lemon::SmartDigraph* g = nullptr;
    lemon::SmartDigraph::ArcMap<double>* cap = nullptr;
    std::vector<lemon::SmartDigraph::Node> nodes;
    lemon::SmartDigraph::Node src, snk;
    auto build = [&] {
        delete cap;
        delete g;
        g = new lemon::SmartDigraph;
        // Room for everything up front: two terminal arcs per node and both arcs of every edge.
        g->reserveNode(grid.nodeCount + 2);
        g->reserveArc(2 * grid.nodeCount + 2 * static_cast<int>(grid.edges.size()));
        nodes.clear();
        for (int i = 0; i < grid.nodeCount; ++i) nodes.push_back(g->addNode());
        src = g->addNode();
        snk = g->addNode();
        cap = new lemon::SmartDigraph::ArcMap<double>(*g);
        for (int i = 0; i < grid.nodeCount; ++i) {
            (*cap)[g->addArc(src, nodes[i])] = grid.source[i];
            (*cap)[g->addArc(nodes[i], snk)] = grid.sink[i];
        }
        for (const auto& e : grid.edges) {
            (*cap)[g->addArc(nodes[e.u], nodes[e.v])] = e.cap;
            (*cap)[g->addArc(nodes[e.v], nodes[e.u])] = e.revCap;
        }
    };
    double s = medianSeconds(
        build,
        [&] {
            using Capacity = lemon::SmartDigraph::ArcMap<double>;
            using Linked = lemon::Preflow<lemon::SmartDigraph, Capacity>::SetStandardElevator<
                lemon::LinkedElevator<lemon::SmartDigraph, lemon::SmartDigraph::Node>>::Create;
            Linked pf(*g, *cap, src, snk);
            pf.tolerance(lemon::Tolerance<double>(kLemonEpsilon));
            pf.runMinCut();
            return pf.flowValue();
        },
        flow);
    delete cap;
    delete g;
    return {s, flow};
}

}  // namespace

// An optional argument limits the run to the first that many graphs.
int main(int argc, char** argv) {
    struct Case {
        const char* name;
        int nx, ny, nz;
    } cases[] = {{"4-connected 512x512", 512, 512, 1},
                 {"4-connected 1024x1024", 1024, 1024, 1},
                 {"6-connected 100x100x100", 100, 100, 100}};
    int status = 0;
    std::printf("%-24s %9s %9s %9s %9s %8s %8s %8s  flow values (FlowGraph, BK, PR, LEMON)\n", "graph",
                "FlowGraph", "Boost BK", "Boost PR", "LEMON", "BK/FG", "PR/FG", "LEMON/FG");
    const int caseCount = argc > 1 ? std::atoi(argv[1]) : 3;
    for (int ci = 0; ci < caseCount && ci < 3; ++ci) {
        const Case& c = cases[ci];
        const GridGraph grid = makeGridGraph(c.nx, c.ny, c.nz, 17);
        const Result a = runFlowGraph(grid), k = runBoostBk(grid), b = runBoostPushRelabel(grid), l = runLemon(grid);
        std::printf("%-24s %8.3fs %8.3fs %8.3fs %8.3fs %7.2fx %7.2fx %7.2fx  %.6g %.6g %.6g %.6g\n", c.name, a.seconds,
                    k.seconds, b.seconds, l.seconds, k.seconds / a.seconds, b.seconds / a.seconds,
                    l.seconds / a.seconds, a.flow, k.flow, b.flow, l.flow);
        // The peers sum in double, FlowGraph's cut is summed in double too (cutCapacity); the capacities
        // themselves are floats.
        const double tol = 1e-6 * std::max(1.0, std::abs(b.flow));
        if (std::abs(a.flow - b.flow) > tol || std::abs(k.flow - b.flow) > tol || std::abs(l.flow - b.flow) > tol) {
            std::printf("  flow values differ!\n");
            status = 1;
        }
        std::fflush(stdout);
    }
    return status;
}
