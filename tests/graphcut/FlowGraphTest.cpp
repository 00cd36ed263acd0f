#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "graphcut/FlowGraph.h"

using namespace veltrix;

namespace {

// Plain Edmonds-Karp on adjacency lists in double precision; node n is the source, n + 1 the sink.
class ReferenceFlow {
public:
    explicit ReferenceFlow(int n) : n_(n + 2), adj_(n_) {}
    void add(int from, int to, double c) {
        adj_[from].push_back(static_cast<int>(arcs_.size()));
        arcs_.push_back({to, c});
        adj_[to].push_back(static_cast<int>(arcs_.size()));
        arcs_.push_back({from, 0.0});
    }
    int source() const { return n_ - 2; }
    int sink() const { return n_ - 1; }
    double solve() {
        double flow = 0;
        std::vector<int> via(n_);
        for (;;) {
            std::fill(via.begin(), via.end(), -1);
            via[source()] = -2;
            std::deque<int> q{source()};
            while (!q.empty() && via[sink()] == -1) {
                int u = q.front();
                q.pop_front();
                for (int a : adj_[u])
                    if (via[arcs_[a].to] == -1 && arcs_[a].cap > 1e-12) {
                        via[arcs_[a].to] = a;
                        q.push_back(arcs_[a].to);
                    }
            }
            if (via[sink()] == -1) return flow;
            double b = std::numeric_limits<double>::infinity();
            for (int v = sink(); v != source(); v = arcs_[via[v] ^ 1].to) b = std::min(b, arcs_[via[v]].cap);
            for (int v = sink(); v != source(); v = arcs_[via[v] ^ 1].to) {
                arcs_[via[v]].cap -= b;
                arcs_[via[v] ^ 1].cap += b;
            }
            flow += b;
        }
    }

private:
    struct Arc {
        int to;
        double cap;
    };
    int n_;
    std::vector<std::vector<int>> adj_;
    std::vector<Arc> arcs_;
};

struct Edge {
    int from, to;
    float cap, rev;
};

struct RandomGraph {
    int n = 0;
    std::vector<float> capSource, capSink;
    std::vector<Edge> edges;
};

// Cost of the cut that isSourceSide describes, in double.
double cutCost(const RandomGraph& rg, const FlowGraph& g, const std::vector<FlowGraph::Node>& nodes) {
    double cost = 0;
    for (int i = 0; i < rg.n; ++i) {
        if (g.isSourceSide(nodes[i]))
            cost += rg.capSink[i];
        else
            cost += rg.capSource[i];
    }
    for (const Edge& e : rg.edges) {
        bool a = g.isSourceSide(nodes[e.from]);
        bool b = g.isSourceSide(nodes[e.to]);
        if (a && !b) cost += e.cap;
        if (b && !a) cost += e.rev;
    }
    return cost;
}

void checkGraph(const RandomGraph& rg) {
    FlowGraph g;
    std::vector<FlowGraph::Node> nodes;
    for (int i = 0; i < rg.n; ++i) nodes.push_back(g.addNode());
    ReferenceFlow ref(rg.n);
    for (int i = 0; i < rg.n; ++i) {
        g.addTerminalCaps(nodes[i], rg.capSource[i], rg.capSink[i]);
        ref.add(ref.source(), i, rg.capSource[i]);
        ref.add(i, ref.sink(), rg.capSink[i]);
    }
    for (const Edge& e : rg.edges) {
        g.addEdge(nodes[e.from], nodes[e.to], e.cap, e.rev);
        ref.add(e.from, e.to, e.cap);
        ref.add(e.to, e.from, e.rev);
    }
    double flow = g.computeMaxFlow();
    double expected = ref.solve();
    double tol = 1e-4 * std::max(1.0, expected);
    ASSERT_NEAR(flow, expected, tol) << "nodes " << rg.n << " edges " << rg.edges.size();
    ASSERT_NEAR(cutCost(rg, g, nodes), expected, tol);
}

RandomGraph randomGraph(std::mt19937& rng, int n, int m, double zeroShare) {
    RandomGraph rg;
    rg.n = n;
    std::uniform_real_distribution<float> cap(0.0f, 10.0f);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    auto value = [&]() { return coin(rng) < zeroShare ? 0.0f : cap(rng); };
    for (int i = 0; i < n; ++i) {
        double kind = coin(rng);
        // Some nodes with no terminal capacity, some with one side only, some with both.
        float s = kind < 0.2 ? 0.0f : value();
        float t = kind > 0.8 ? 0.0f : value();
        rg.capSource.push_back(s);
        rg.capSink.push_back(t);
    }
    if (n >= 2) {
        std::uniform_int_distribution<int> pick(0, n - 1);
        for (int k = 0; k < m; ++k) {
            int a = pick(rng), b = pick(rng);
            if (a == b) continue;
            rg.edges.push_back({a, b, value(), value()});
            if (coin(rng) < 0.05) rg.edges.push_back({a, b, value(), value()});  // parallel edge
        }
    }
    return rg;
}

}  // namespace

TEST(FlowGraph, RandomGraphsMatchReferenceFlowAndCut) {
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 300; ++trial) {
        int n = 1 + static_cast<int>(rng() % 30);
        int m = static_cast<int>(rng() % (3 * n + 1));
        checkGraph(randomGraph(rng, n, m, trial % 3 == 0 ? 0.3 : 0.0));
    }
}

TEST(FlowGraph, LargeGraphsAcrossNodeBlocksMatchReference) {
    std::mt19937 rng(77);
    for (int trial = 0; trial < 4; ++trial) {
        int n = 520 + static_cast<int>(rng() % 300);
        checkGraph(randomGraph(rng, n, 4 * n, 0.1));
    }
}

TEST(FlowGraph, GraphWithoutEdgesCutsByTerminalSign) {
    RandomGraph rg;
    rg.n = 4;
    rg.capSource = {3.0f, 0.0f, 1.0f, 0.0f};
    rg.capSink = {1.0f, 2.0f, 1.0f, 0.0f};
    FlowGraph g;
    std::vector<FlowGraph::Node> nodes;
    for (int i = 0; i < rg.n; ++i) {
        nodes.push_back(g.addNode());
        g.addTerminalCaps(nodes[i], rg.capSource[i], rg.capSink[i]);
    }
    EXPECT_FLOAT_EQ(g.computeMaxFlow(), 2.0f);  // the constants min(3,1) + min(1,1)
    EXPECT_TRUE(g.isSourceSide(nodes[0]));
    EXPECT_FALSE(g.isSourceSide(nodes[1]));
    EXPECT_FALSE(g.isSourceSide(nodes[2]));  // zero terminal capacity: sink side
    EXPECT_FALSE(g.isSourceSide(nodes[3]));
    EXPECT_EQ(g.nodeCount(), 6);             // two padding nodes joined by one arc

    FlowGraph empty;
    EXPECT_FLOAT_EQ(empty.computeMaxFlow(), 0.0f);
}

TEST(FlowGraph, TerminalCapsAccumulate) {
    FlowGraph g;
    FlowGraph::Node n = g.addNode();
    g.addTerminalCaps(n, 5, 3);
    EXPECT_FLOAT_EQ(n->terminalCap, 2.0f);
    EXPECT_FLOAT_EQ(g.flow(), 3.0f);
    g.addTerminalCaps(n, 1, 4);
    EXPECT_FLOAT_EQ(n->terminalCap, -1.0f);
    EXPECT_FLOAT_EQ(g.flow(), 6.0f);
    EXPECT_FLOAT_EQ(g.computeMaxFlow(), 6.0f);
    EXPECT_FALSE(g.isSourceSide(n));
}

// Random binary energies with regular pair terms (including E01 - E00 < 0 and E10 - E11 < 0):
// the minimum cut must be a minimum-energy assignment, and the flow its energy.
TEST(FlowGraph, PairTermsMinimiseBinaryEnergies) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> val(-4.0f, 6.0f);
    for (int trial = 0; trial < 200; ++trial) {
        int n = 2 + static_cast<int>(rng() % 7);
        std::vector<float> u0(n), u1(n);
        struct Term {
            int x, y;
            float e00, e01, e10, e11;
        };
        std::vector<Term> terms;
        for (int i = 0; i < n; ++i) {
            u0[i] = std::abs(val(rng));
            u1[i] = std::abs(val(rng));
        }
        int m = static_cast<int>(rng() % (2 * n + 1));
        for (int k = 0; k < m; ++k) {
            int x = static_cast<int>(rng() % n), y = static_cast<int>(rng() % n);
            if (x == y) continue;
            Term t{x, y, std::abs(val(rng)), std::abs(val(rng)), std::abs(val(rng)), 0};
            float room = t.e01 + t.e10 - t.e00;  // keep E00 + E11 <= E01 + E10
            t.e11 = room > 0 ? std::uniform_real_distribution<float>(0.0f, room)(rng) : 0.0f;
            if (t.e00 + t.e11 > t.e01 + t.e10) t.e00 = t.e01 + t.e10 - t.e11;
            if (t.e00 < 0) continue;
            terms.push_back(t);
        }
        if (trial == 0) terms.push_back({0, 1, 3.0f, 1.0f, 4.0f, 0.5f});  // E01 - E00 < 0
        FlowGraph g;
        std::vector<FlowGraph::Node> nodes;
        for (int i = 0; i < n; ++i) {
            nodes.push_back(g.addNode());
            g.addTerminalCaps(nodes[i], u1[i], u0[i]);  // source side = value 0 costs u0
        }
        for (const Term& t : terms) g.addPairTerm(nodes[t.x], nodes[t.y], t.e00, t.e01, t.e10, t.e11);
        double flow = g.computeMaxFlow();
        auto energy = [&](unsigned mask) {
            double e = 0;
            for (int i = 0; i < n; ++i) e += (mask >> i & 1) ? u1[i] : u0[i];
            for (const Term& t : terms) {
                int a = mask >> t.x & 1, b = mask >> t.y & 1;
                e += a ? (b ? t.e11 : t.e10) : (b ? t.e01 : t.e00);
            }
            return e;
        };
        double best = std::numeric_limits<double>::infinity();
        for (unsigned mask = 0; mask < (1u << n); ++mask) best = std::min(best, energy(mask));
        unsigned cut = 0;
        for (int i = 0; i < n; ++i)
            if (!g.isSourceSide(nodes[i])) cut |= 1u << i;
        ASSERT_NEAR(flow, best, 1e-4 * std::max(1.0, best));
        ASSERT_NEAR(energy(cut), best, 1e-4 * std::max(1.0, best));
    }
}

TEST(FlowGraph, NodeBlocksHold511Nodes) {
    FlowGraph g;
    std::vector<FlowGraph::Node> nodes;
    for (int i = 0; i < 1100; ++i) nodes.push_back(g.addNode());
    for (int i = 1; i < 511; ++i) EXPECT_EQ(nodes[i], nodes[i - 1] + 1);
    EXPECT_NE(nodes[511], nodes[510] + 1);
    // A chain across both block boundaries carries the flow through.
    g.addTerminalCaps(nodes[0], 2.5f, 0);
    g.addTerminalCaps(nodes[1099], 0, 4.0f);
    for (int i = 0; i + 1 < 1100; ++i) g.addEdge(nodes[i], nodes[i + 1], 3.0f, 0);
    EXPECT_FLOAT_EQ(g.computeMaxFlow(), 2.5f);
}

// Nodes of any degree: hubs with more than 1024 outgoing and incoming arcs, mixed with ordinary
// nodes in the same blocks.
TEST(FlowGraph, HighDegreeNodesAreSupported) {
    std::mt19937 rng(11);
    for (int hubDegree : {1024, 1025, 1500, 3000}) {
        RandomGraph rg = randomGraph(rng, 700, 1400, 0.05);
        std::uniform_real_distribution<float> cap(0.0f, 2.0f);
        for (int hub : {0, 350, 699}) {
            for (int k = 0; k < hubDegree; ++k) {
                int other = static_cast<int>(rng() % 700);
                if (other == hub) continue;
                if (k % 2)
                    rg.edges.push_back({hub, other, cap(rng), cap(rng)});
                else
                    rg.edges.push_back({other, hub, cap(rng), cap(rng)});
                rg.edges.push_back({hub, other, cap(rng), 0.0f});
            }
        }
        checkGraph(rg);
    }
}

// A graph solved again with residuals written in place: first all capacities of a random graph,
// then raised capacities on top of the flow found, over more than one arc block, searched again
// from scratch or continued from the trees (also after they were saved and put back). Each solve
// must give a minimum cut of the capacities it was given.
TEST(FlowGraph, SolvesAgainFromResidualsWrittenInPlace) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> raise(0.0f, 3.0f);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = trial < 36 ? 2 + static_cast<int>(rng() % 25) : 700;
        RandomGraph rg = randomGraph(rng, n, trial < 36 ? 3 * n : 2000, 0.2);
        FlowGraph g;
        std::vector<FlowGraph::Node> nodes;
        for (int i = 0; i < n; ++i) nodes.push_back(g.addNode());
        std::vector<long> arcs;
        for (const Edge& e : rg.edges) arcs.push_back(g.addEdge(nodes[e.from], nodes[e.to], 0, 0));
        g.finishArcs();
        for (int i = 0; i < n; ++i) g.setTerminalResidual(nodes[i], rg.capSource[i] - rg.capSink[i]);
        for (size_t k = 0; k < arcs.size(); ++k) g.setArcResiduals(arcs[k], rg.edges[k].cap, rg.edges[k].rev);
        g.computeMaxFlow();

        auto minimumCut = [](const RandomGraph& graph) {
            ReferenceFlow ref(graph.n);
            for (int i = 0; i < graph.n; ++i) {
                ref.add(ref.source(), i, graph.capSource[i]);
                ref.add(i, ref.sink(), graph.capSink[i]);
            }
            for (const Edge& e : graph.edges) {
                ref.add(e.from, e.to, e.cap);
                ref.add(e.to, e.from, e.rev);
            }
            return ref.solve();
        };
        double expected = minimumCut(rg);
        ASSERT_NEAR(cutCost(rg, g, nodes), expected, 1e-4 * std::max(1.0, expected)) << "trial " << trial;

        // Raising a capacity raises its residual by as much; the kept flow stays feasible.
        FlowGraph::Trees trees;
        g.saveTrees(trees);
        std::vector<char> changed(n, 0);
        for (int i = 0; i < n; ++i) {
            const float up = rng() % 3 == 0 ? raise(rng) : 0.0f;
            const float down = rng() % 3 == 0 ? raise(rng) : 0.0f;
            rg.capSource[i] += up;
            rg.capSink[i] += down;
            changed[i] = up != 0 || down != 0;
            g.setTerminalResidual(nodes[i], g.terminalResidual(nodes[i]) + up - down);
        }
        for (size_t k = 0; k < arcs.size(); ++k) {
            if (rng() % 2) continue;
            const float up = raise(rng), back = raise(rng);
            rg.edges[k].cap += up;
            rg.edges[k].rev += back;
            float forward, reverse;
            g.arcResiduals(arcs[k], forward, reverse);
            g.setArcResiduals(arcs[k], forward + up, reverse + back);
            changed[rg.edges[k].from] = changed[rg.edges[k].to] = 1;
        }
        if (trial % 3 == 0) {
            g.computeMaxFlow();
        } else {
            if (trial % 3 == 2) {
                // Another flow's trees in between, then these put back.
                FlowGraph::Trees other = trees;
                std::fill(other.parent.begin(), other.parent.end(), 0);
                g.restoreTrees(other);
                g.restoreTrees(trees);
            }
            std::vector<FlowGraph::Node> touched;
            for (int i = 0; i < n; ++i)
                if (changed[i]) touched.push_back(nodes[i]);
            g.resumeMaxFlow(touched);
        }
        expected = minimumCut(rg);
        ASSERT_NEAR(cutCost(rg, g, nodes), expected, 1e-4 * std::max(1.0, expected)) << "trial " << trial;
    }
}
