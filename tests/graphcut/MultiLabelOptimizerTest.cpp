#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/Log.h"
#include "graphcut/MultiLabelOptimizer.h"

using namespace veltrix;

namespace {

// A small labelling problem with tabulated terms, solvable exhaustively.
struct Problem {
    int sites = 0;
    int labels = 0;
    std::vector<float> data;                      // sites x labels
    std::vector<float> smooth;                    // labels x labels, shared by all pairs
    std::vector<std::pair<int, int>> pairs;
    std::vector<float> weights;
    float offset = 0;                             // added to every data term
    std::vector<float> labelCost;                 // paid once per label in use

    double energy(const std::vector<int>& f) const {
        double e = 0;
        for (size_t l = 0; l < labelCost.size(); ++l)
            if (std::find(f.begin(), f.end(), int(l)) != f.end()) e += labelCost[l];
        for (int s = 0; s < sites; ++s) e += offset + data[s * labels + f[s]];
        for (size_t k = 0; k < pairs.size(); ++k)
            e += weights[k] * smooth[f[pairs[k].first] * labels + f[pairs[k].second]];
        return e;
    }
    double optimum() const {
        std::vector<int> f(sites, 0);
        double best = std::numeric_limits<double>::infinity();
        for (;;) {
            best = std::min(best, energy(f));
            int s = 0;
            while (s < sites && ++f[s] == labels) f[s++] = 0;
            if (s == sites) return best;
        }
    }
};

float dataCost(int site, int label, void* user) {
    const Problem* p = static_cast<const Problem*>(user);
    return p->offset + p->data[site * p->labels + label];
}
float smoothCost(int, int, int l1, int l2, void* user) {
    const Problem* p = static_cast<const Problem*>(user);
    return p->smooth[l1 * p->labels + l2];
}

enum class SmoothKind { Potts, TruncatedLinear, Arbitrary };

Problem randomProblem(std::mt19937& rng, int sites, int labels, SmoothKind kind) {
    Problem p;
    p.sites = sites;
    p.labels = labels;
    std::uniform_real_distribution<float> u(0.0f, 5.0f);
    for (int k = 0; k < sites * labels; ++k) p.data.push_back(u(rng));
    p.smooth.resize(labels * labels);
    for (int a = 0; a < labels; ++a)
        for (int b = 0; b < labels; ++b) {
            float v = 0;
            if (kind == SmoothKind::Potts) v = a == b ? 0.0f : 1.0f;
            if (kind == SmoothKind::TruncatedLinear) v = std::min(std::abs(a - b), 2) * 1.0f;
            if (kind == SmoothKind::Arbitrary) v = u(rng);
            p.smooth[a * labels + b] = v;
        }
    // Symmetric tables: the optimiser hands the site being processed first, in either order.
    for (int a = 0; a < labels; ++a)
        for (int b = 0; b < a; ++b) p.smooth[b * labels + a] = p.smooth[a * labels + b];
    for (int a = 0; a < sites; ++a)
        for (int b = a + 1; b < sites; ++b)
            if (rng() % 2) {
                p.pairs.push_back({b, a});  // larger index first, as the optimiser evaluates it
                p.weights.push_back(std::uniform_real_distribution<float>(0.5f, 3.0f)(rng));
            }
    return p;
}

void install(GeneralGraphOptimizer& opt, Problem& p) {
    for (size_t k = 0; k < p.pairs.size(); ++k)
        opt.addNeighbourPair(p.pairs[k].first, p.pairs[k].second, p.weights[k]);
    opt.setDataCostFunction(dataCost, &p);
    opt.setSmoothCostFunction(smoothCost, &p);
}

// Lowest energy reachable from f by one expansion (swap == false) or swap move, exhaustively;
// only moves on label `only` when it is set.
double bestSingleMove(const Problem& p, const std::vector<int>& f, bool swap, int only = -1) {
    double best = std::numeric_limits<double>::infinity();
    for (int a = 0; a < p.labels; ++a)
        for (int b = swap ? a + 1 : a; b < (swap ? p.labels : a + 1); ++b) {
            if (only >= 0 && a != only) continue;
            std::vector<int> vars;
            for (int s = 0; s < p.sites; ++s)
                if (swap ? (f[s] == a || f[s] == b) : f[s] != a) vars.push_back(s);
            for (unsigned mask = 0; mask < (1u << vars.size()); ++mask) {
                std::vector<int> g = f;
                for (size_t k = 0; k < vars.size(); ++k)
                    g[vars[k]] = (mask >> k & 1) ? a : (swap ? b : f[vars[k]]);
                best = std::min(best, p.energy(g));
            }
        }
    return best;
}

std::string exceptionMessage(void (*fn)()) {
    try {
        fn();
    } catch (const OptimizerException& e) {
        return e.what();
    }
    return "(none)";
}

}  // namespace

TEST(MultiLabelOptimizer, ExpansionAndSwapReachLocalMinimaOfTheirMoveSpaces) {
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 60; ++trial) {
        int sites = 3 + trial % 4;
        int labels = 2 + trial % 3;
        SmoothKind kind = trial % 2 ? SmoothKind::Potts : SmoothKind::TruncatedLinear;
        Problem p = randomProblem(rng, sites, labels, kind);
        double opt = p.optimum();
        for (bool swap : {false, true}) {
            GeneralGraphOptimizer o(sites, labels);
            install(o, p);
            float e = swap ? o.runSwap(std::numeric_limits<int>::max())
                           : o.runExpansion(std::numeric_limits<int>::max());
            double got = p.energy(o.labeling);
            EXPECT_NEAR(e, got, 1e-4);
            EXPECT_GE(got, opt - 1e-4);
            EXPECT_GE(bestSingleMove(p, o.labeling, swap), got - 1e-4) << "trial " << trial;
            if (!swap && kind == SmoothKind::Potts) {
                EXPECT_LE(got, 2 * opt + 1e-4);
            }
            if (!swap) {
                // Cycles leave out moves that cannot change anything: the same labels as every
                // move made by hand.
                GeneralGraphOptimizer byHand(sites, labels);
                install(byHand, p);
                for (double before = p.energy(byHand.labeling);;) {
                    for (int a = 0; a < labels; ++a) byHand.expandLabel(a);
                    const double after = p.energy(byHand.labeling);
                    if (!(after < before)) break;
                    before = after;
                }
                EXPECT_EQ(byHand.labeling, o.labeling) << "trial " << trial;
            }
            EXPECT_EQ(o.nonRegularTermCount(), 0);  // metric terms are always regular
        }
    }
}

TEST(MultiLabelOptimizer, ExpansionWithLabelCostsIsTheBestMoveOfItsLabel) {
    std::mt19937 rng(77);
    for (int trial = 0; trial < 80; ++trial) {
        const int sites = 3 + trial % 5, labels = 2 + trial % 3;
        Problem p = randomProblem(rng, sites, labels, trial % 2 ? SmoothKind::Potts : SmoothKind::TruncatedLinear);
        // Without costs half the time: then the move is the plain expansion.
        for (int l = 0; l < labels; ++l) p.labelCost.push_back(trial % 4 < 2 ? float(rng() % 80) / 10.0f : 0.0f);
        GeneralGraphOptimizer o(sites, labels);
        install(o, p);
        o.setLabelCosts(p.labelCost);
        for (int& l : o.labeling) l = int(rng() % unsigned(labels - 1));  // the last label unused
        for (int alpha : {labels - 1, int(rng() % unsigned(labels))}) {
            const std::vector<int> start = o.labeling;
            o.expandLabel(alpha);
            EXPECT_NEAR(p.energy(o.labeling), bestSingleMove(p, start, false, alpha), 1e-4) << "trial " << trial;
        }
        EXPECT_NEAR(o.computeEnergy(), p.energy(o.labeling), 1e-3);
        const float e = o.runExpansion(std::numeric_limits<int>::max());
        EXPECT_NEAR(e, p.energy(o.labeling), 1e-3);
        EXPECT_GE(bestSingleMove(p, o.labeling, false), p.energy(o.labeling) - 1e-4) << "trial " << trial;
    }
}

TEST(MultiLabelOptimizer, EnergyNeverRisesAcrossAMoveEvenWithNonRegularTerms) {
    std::mt19937 rng(99);
    long truncated = 0;
    for (int trial = 0; trial < 40; ++trial) {
        Problem p = randomProblem(rng, 6, 3 + trial % 2, SmoothKind::Arbitrary);
        GeneralGraphOptimizer o(p.sites, p.labels);
        install(o, p);
        for (int s = 0; s < p.sites; ++s) o.labeling[s] = static_cast<int>(rng() % p.labels);
        double e = p.energy(o.labeling);
        for (int round = 0; round < 3; ++round)
            for (int a = 0; a < p.labels; ++a) {
                o.expandLabel(a);
                double next = p.energy(o.labeling);
                ASSERT_LE(next, e + 1e-4);
                e = next;
                for (int b = a + 1; b < p.labels; ++b) {
                    o.swapLabels(a, b);
                    next = p.energy(o.labeling);
                    ASSERT_LE(next, e + 1e-4);
                    e = next;
                }
            }
        truncated += o.nonRegularTermCount();
    }
    EXPECT_GT(truncated, 0);  // the arbitrary tables do produce non-regular terms
}

TEST(MultiLabelOptimizer, CycleLoopRunsAtLargeEnergiesAndHonoursTheLimit) {
    std::mt19937 rng(3);
    Problem p = randomProblem(rng, 5, 3, SmoothKind::Potts);
    for (int s = 0; s < p.sites; ++s) p.data[s * p.labels] += 4.0f;  // label 0 is never best
    p.offset = 8388608.0f;  // 2^23 per site: the initial energy exceeds 2^25
    {
        GeneralGraphOptimizer o(p.sites, p.labels);
        install(o, p);
        ASSERT_GT(o.computeEnergy(), 33554432.0f);
        LogCapture log;
        o.runExpansion(std::numeric_limits<int>::max());
        std::string out = log.out();
        EXPECT_EQ(out.find("Graph Cut Expansion finished in 0 cycles!"), std::string::npos) << out;
        EXPECT_NEAR(p.energy(o.labeling), p.optimum(), 1.0);
        EXPECT_LT(p.energy(o.labeling), p.energy(std::vector<int>(p.sites, 0)));
    }
    {
        GeneralGraphOptimizer o(p.sites, p.labels);
        install(o, p);
        LogCapture log2;
        o.runSwap(0);
        EXPECT_EQ(log2.out(), "Graph Cut Swap finished in 0 cycles!\n");
        EXPECT_EQ(o.labeling, std::vector<int>(p.sites, 0));
    }
    {
        GeneralGraphOptimizer o(p.sites, p.labels);
        install(o, p);
        LogCapture log3;
        o.runExpansion(1);
        EXPECT_EQ(log3.out(), "Graph Cut Expansion finished in 1 cycles!\n");
    }
}

TEST(MultiLabelOptimizer, SiteWithoutNeighboursKeepsItsLabelOnATie) {
    Problem p;
    p.sites = 2;
    p.labels = 2;
    p.data = {1.0f, 1.0f, 2.0f, 0.5f};
    p.smooth = {0, 1, 1, 0};
    GeneralGraphOptimizer o(2, 2);
    install(o, p);
    o.expandLabel(1);
    EXPECT_EQ(o.labeling, (std::vector<int>{0, 1}));
    o.expandLabel(1);  // every site that can change is decided; nothing happens
    EXPECT_EQ(o.labeling, (std::vector<int>{0, 1}));
}

TEST(MultiLabelOptimizer, NeighbourArraysListNewestBlockFirst) {
    GeneralGraphOptimizer o(8, 2);
    for (int n = 1; n <= 6; ++n) o.addNeighbourPair(0, n, static_cast<float>(n));
    int count;
    const int* idx;
    const float* w;
    o.neighbourInfo(0, &count, &idx, &w);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(std::vector<int>(idx, idx + 6), (std::vector<int>{5, 6, 1, 2, 3, 4}));
    EXPECT_FLOAT_EQ(w[0], 5.0f);
    o.neighbourInfo(3, &count, &idx, &w);
    EXPECT_EQ(count, 1);
    o.neighbourInfo(7, &count, &idx, &w);
    EXPECT_EQ(count, 0);
}

namespace {
float zeroData(int, int, void*) { return 0; }
float zeroSmooth(int, int, int, int, void*) { return 0; }

class NeverReady : public GeneralGraphOptimizer {
public:
    NeverReady() : GeneralGraphOptimizer(2, 2) {}
    bool checkReady() override { return false; }
};
}  // namespace

TEST(MultiLabelOptimizer, ExceptionMessages) {
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.computeEnergy();
              }),
              "Smoothness term is not set up yet!");
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.setDataCostFunction(zeroData, nullptr);
                  o.computeEnergy();
              }),
              "Smoothness term is not set up yet!");
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.setSmoothCostFunction(zeroSmooth, nullptr);
                  o.expandLabel(1);
              }),
              "Data term is not set up yet!");
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.setDataCostFunction(zeroData, nullptr);
                  o.setDataCostFunction(zeroData, nullptr);
              }),
              "Data Costs are already initialized");
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.setSmoothCostFunction(zeroSmooth, nullptr);
                  o.setSmoothCostFunction(zeroSmooth, nullptr);
              }),
              "Smoothness Costs are already initialized");
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.setDataCostFunction(zeroData, nullptr);
                  o.setSmoothCostFunction(zeroSmooth, nullptr);
                  o.addNeighbourPair(0, 1, 1);
                  o.computeEnergy();
                  o.addNeighbourPair(0, 1, 1);
              }),
              "Already set up neighborhood system");
    EXPECT_EQ(exceptionMessage([] {
                  NeverReady o;
                  o.computeEnergy();
              }),
              "Not ready to optimize yet. Set up data and smooth costs first");
    EXPECT_EQ(exceptionMessage([] {
                  NeverReady o;
                  o.expandLabel(1);
              }),
              "Set up data and smoothness terms first. ");
    EXPECT_EQ(exceptionMessage([] {
                  NeverReady o;
                  o.swapLabels(0, 1);
              }),
              "Set up data and smoothness terms first. ");
    // A move with no variable builds nothing and checks nothing.
    EXPECT_EQ(exceptionMessage([] {
                  GeneralGraphOptimizer o(2, 2);
                  o.expandLabel(0);
              }),
              "(none)");
}

TEST(MultiLabelOptimizer, RandomLabelOrderConvergesAndLeavesTheCGeneratorAlone) {
    std::mt19937 rng(8);
    Problem p = randomProblem(rng, 6, 4, SmoothKind::Potts);
    std::vector<int> orders[2];
    for (std::vector<int>& order : orders) {
        std::srand(42);
        GeneralGraphOptimizer o(p.sites, p.labels);
        install(o, p);
        o.setRandomLabelOrder(true);
        o.runExpansion(std::numeric_limits<int>::max());
        const int next = std::rand();
        std::srand(42);
        EXPECT_EQ(next, std::rand());  // neither re-seeded nor drawn from
        order = o.labelOrder;
        EXPECT_GE(bestSingleMove(p, o.labeling, false), p.energy(o.labeling) - 1e-4);
    }
    EXPECT_EQ(orders[0], orders[1]);
    std::sort(orders[0].begin(), orders[0].end());
    EXPECT_EQ(orders[0], (std::vector<int>{0, 1, 2, 3}));
}

// Moves that reuse each label's flow make the same cuts as fresh graphs: the same labels, energy
// and count of raised terms, from random starts, with regular and non-regular tables and with a
// pair given twice.
TEST(MultiLabelOptimizer, ReusedFlowsGiveTheLabelsOfFreshMoves) {
    std::mt19937 rng(404);
    long raised = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const SmoothKind kind = trial % 3 == 0   ? SmoothKind::Potts
                                : trial % 3 == 1 ? SmoothKind::TruncatedLinear
                                                 : SmoothKind::Arbitrary;
        Problem p = randomProblem(rng, 5 + trial % 8, 3 + trial % 3, kind);
        if (trial % 4 == 0 && !p.pairs.empty()) {
            p.pairs.push_back(p.pairs.front());
            p.weights.push_back(0.75f);
        }
        std::vector<int> start(p.sites);
        for (int& l : start) l = static_cast<int>(rng() % p.labels);
        GeneralGraphOptimizer fresh(p.sites, p.labels), reused(p.sites, p.labels);
        install(fresh, p);
        install(reused, p);
        reused.setReuseFlows(true);
        fresh.labeling = reused.labeling = start;
        const float freshEnergy = fresh.runExpansion(std::numeric_limits<int>::max());
        const float reusedEnergy = reused.runExpansion(std::numeric_limits<int>::max());
        EXPECT_EQ(reused.labeling, fresh.labeling) << "trial " << trial;
        EXPECT_EQ(reusedEnergy, freshEnergy) << "trial " << trial;
        EXPECT_EQ(reused.nonRegularTermCount(), fresh.nonRegularTermCount()) << "trial " << trial;
        raised += reused.nonRegularTermCount();
    }
    EXPECT_GT(raised, 0);
}
