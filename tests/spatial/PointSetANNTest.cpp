#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "spatial/CorrespondenceList.h"
#include "spatial/FeatureSetANN.h"
#include "core/Log.h"
#include "spatial/PointSetANN.h"
#include "spatial/RadiusGrid.h"

using namespace veltrix;

namespace {

PointSetANN randomPoints(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    PointSetANN set;
    for (int i = 0; i < n; ++i) set.addPoint(Vec3f(u(rng), u(rng), u(rng)));
    return set;
}

std::vector<std::pair<float, int>> bruteForce(const PointSetANN& set, const Vec3f& q) {
    std::vector<std::pair<float, int>> all;
    for (int i = 0; i < set.size(); ++i) all.emplace_back((set.point(i) - q).squaredLength(), i);
    std::sort(all.begin(), all.end());
    return all;
}

// Runs query(set, q, out) for every query in each of two threads at once; the two output lists.
template <class Query>
std::array<std::vector<int>, 2> fromTwoThreads(PointSetANN& set, const std::vector<Vec3f>& queries, Query query) {
    std::array<std::vector<int>, 2> out;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (const Vec3f& q : queries) query(set, q, out[size_t(t)]);
        });
    for (std::thread& t : threads) t.join();
    return out;
}

}  // namespace

TEST(PointSetANN, QueriesMatchBruteForce) {
    PointSetANN set = randomPoints(500, 7);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.2f, 1.2f);
    std::vector<int> idx;
    std::vector<float> dist;
    for (int trial = 0; trial < 50; ++trial) {
        const Vec3f q(u(rng), u(rng), u(rng));
        const auto expected = bruteForce(set, q);

        set.knnQuery(q, 8, idx, dist, true);
        ASSERT_EQ(idx.size(), 8u);
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(idx[k], expected[k].second);
            // Distances are returned non-squared.
            EXPECT_NEAR(dist[k], std::sqrt(expected[k].first), 1e-5f);
        }

        const float r2 = 0.09f;
        set.rangeQuery(q, r2, idx, dist, true);
        const size_t inside =
            std::count_if(expected.begin(), expected.end(), [&](const std::pair<float, int>& e) { return e.first <= r2; });
        ASSERT_EQ(idx.size(), inside);
        for (size_t k = 0; k < idx.size(); ++k) {
            EXPECT_EQ(idx[k], expected[k].second) << "nearest first";
            EXPECT_NEAR(dist[k], std::sqrt(expected[k].first), 1e-5f);
        }
        // The early-stopping test agrees, and draws its line at the nearest point's distance.
        EXPECT_EQ(set.anyWithin(q, r2), inside > 0);
        set.knnQuery(q, 1, idx, dist, true);
        EXPECT_TRUE(set.anyWithin(q, double(dist[0]) * dist[0] * (1 + 1e-6)));
        EXPECT_FALSE(set.anyWithin(q, double(dist[0]) * dist[0] * (1 - 1e-6)));
    }
}

// The grid answers as the tree does, right at the nearest point's distance, far outside the
// points, and when the cell cap makes its cells much wider than the radius.
TEST(RadiusGrid, AgreesWithTheTreeAtTheNearestDistance) {
    for (const float spread : {1.0f, 3000.0f}) {
        PointSetANN set = randomPoints(500, 7);
        std::vector<double> coords;
        for (int i = 0; i < set.size(); ++i) {
            set.point(i) = set.point(i) * (i % 2 ? spread : 1.0f);  // spread: a few far-flung points
            coords.insert(coords.end(), {set.point(i).x, set.point(i).y, set.point(i).z});
        }
        RadiusGrid grid;
        grid.build(coords, 0.3);
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(-2.5f, 2.5f);
        std::vector<int> idx;
        std::vector<float> dist;
        for (int trial = 0; trial < 200; ++trial) {
            const Vec3f p(u(rng), u(rng), u(rng));
            const double q[3] = {p.x, p.y, p.z};
            set.knnQuery(p, 1, idx, dist, true);
            const double nearest = double(dist[0]) * dist[0];
            for (const double r2 : {0.09, 0.01, nearest * (1 + 1e-9), nearest * (1 - 1e-9)}) {
                if (r2 > 0.09) continue;
                EXPECT_EQ(grid.anyWithin(q, r2), set.anyWithin(p, r2)) << trial << " " << r2;
            }
        }
    }
}

// The single nearest point (searched without ANN) against ANN's own answer and brute force, from
// two threads at once; then balls far fuller than the reused result buffers, and small ones after.
TEST(PointSetANN, NearestPointFromThreadsAndBallsOfAnySize) {
    PointSetANN set = randomPoints(3000, 5);
    // Points on a grid have many equally near neighbours: the lowest index wins.
    for (int i = 0; i < 27; ++i)
        set.addPoint(Vec3f(10, 10, 10) + Vec3f(float(i % 3), float(i / 3 % 3), float(i / 9)) * 0.5f);
    set.prepareTree();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.3f, 1.3f);
    std::vector<Vec3f> queries;
    for (int i = 0; i < 400; ++i) queries.push_back(Vec3f(u(rng), u(rng), u(rng)));
    queries.push_back(Vec3f(10.25f, 10.25f, 10.25f));  // 8 grid points equally near
    // Far from every point, as a wrong motion carries a shape: still the exact nearest, and of 4
    // equally near grid points the lowest index.
    for (int i = 0; i < 100; ++i) queries.push_back(Vec3f(u(rng), u(rng), u(rng)) * 40.0f);
    queries.push_back(Vec3f(10.25f, 10.25f, 60.0f));
    const auto found = fromTwoThreads(set, queries, [](PointSetANN& s, const Vec3f& q, std::vector<int>& out) {
        std::vector<int> idx;
        std::vector<float> dist;
        s.knnQuery(q, 1, idx, dist, true);
        out.push_back(idx.empty() ? -1 : idx[0]);
    });
    EXPECT_EQ(found[0], found[1]);
    std::vector<int> idx;
    std::vector<float> dist;
    for (size_t i = 0; i < queries.size(); ++i) {
        const auto expected = bruteForce(set, queries[i]);
        set.knnQuery(queries[i], 2, idx, dist, true);  // the k-nearest search
        if (expected[0].first < expected[1].first) {
            EXPECT_EQ(found[0][i], idx[0]);
        }
        EXPECT_EQ(found[0][i], expected[0].second);
    }
    EXPECT_EQ(found[0][400], 3000);
    EXPECT_EQ(found[0].back(), 3000 + 18);  // (10, 10, 11) of the top face

    for (float r2 : {2.0f, 0.01f, 0.5f, 0.001f}) {
        const Vec3f q = queries[size_t(r2 * 100)];
        const auto expected = bruteForce(set, q);
        set.rangeQuery(q, r2, idx, dist, true);
        const size_t inside = std::count_if(expected.begin(), expected.end(),
                                            [&](const std::pair<float, int>& e) { return e.first <= r2; });
        ASSERT_EQ(idx.size(), inside) << r2;
        for (size_t k = 0; k < inside; k += 17) EXPECT_NEAR(dist[k], std::sqrt(expected[k].first), 1e-5f);
    }
}

// k nearest and balls from two threads at once, on a grid where many points are equally near:
// exactly the brute-force lists, ordered by distance and then by index, the same in both threads.
TEST(PointSetANN, NeighbourListsFromThreadsOrderTiesByIndex) {
    PointSetANN set;
    for (int i = 0; i < 1000; ++i) set.addPoint(Vec3f(float(i % 10), float(i / 10 % 10), float(i / 100)) * 0.25f);
    set.prepareTree();
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> pick(0, 999);
    std::vector<Vec3f> queries;
    for (int i = 0; i < 100; ++i) queries.push_back(set.point(pick(rng)));
    queries.push_back(Vec3f(1.125f, 1.125f, 1.125f));  // 8 grid points equally near
    const auto lists = fromTwoThreads(set, queries, [](PointSetANN& s, const Vec3f& q, std::vector<int>& out) {
        std::vector<int> idx;
        std::vector<float> dist;
        s.knnQuery(q, 19, idx, dist, true);
        out.insert(out.end(), idx.begin(), idx.end());
        s.rangeQuery(q, 0.0625f, idx, dist, true);  // the 6 grid neighbours at 0.25 and q itself
        out.push_back(-1);
        out.insert(out.end(), idx.begin(), idx.end());
    });
    EXPECT_EQ(lists[0], lists[1]);
    std::vector<int> expected;
    for (const Vec3f& q : queries) {
        std::vector<std::pair<double, int>> all;
        for (int i = 0; i < set.size(); ++i) {
            double d = 0.0;
            for (int c = 0; c < 3; ++c) d += (double(set.point(i)[c]) - q[c]) * (double(set.point(i)[c]) - q[c]);
            all.emplace_back(d, i);
        }
        std::sort(all.begin(), all.end());
        for (int k = 0; k < 19; ++k) expected.push_back(all[size_t(k)].second);
        expected.push_back(-1);
        for (size_t k = 0; k < all.size() && all[k].first <= 0.0625; ++k) expected.push_back(all[k].second);
    }
    EXPECT_EQ(lists[0], expected);
}

// A hint only bounds the search: from any start, near or far or out of range, the answer is the
// unhinted one, and among equally near points (duplicates) the lowest index still wins.
TEST(PointSetANN, HintedNearestPointIsTheSame) {
    PointSetANN set = randomPoints(300, 11);
    for (int i = 0; i < 40; ++i) set.addPoint(set.point(i * 7));
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    std::vector<int> idx, hinted;
    std::vector<float> dist, hintedDist;
    for (int t = 0; t < 200; ++t) {
        const Vec3f q = t % 4 == 0 ? set.point(t % set.size()) : Vec3f(u(rng), u(rng), u(rng));
        set.knnQuery(q, 1, idx, dist, true);
        for (int hint : {-1, 0, t % set.size(), idx[0], set.size() - 1, set.size() + 5}) {
            set.knnQuery(q, 1, hinted, hintedDist, true, hint);
            ASSERT_EQ(hinted, idx) << "query " << t << " hint " << hint;
            ASSERT_EQ(hintedDist, dist);
        }
    }
}

TEST(PointSetANN, QueryForms) {
    PointSetANN set;
    set.addPoint(Vec3f(0, 0, 0));
    set.addPoint(Vec3f(1, 0, 0));
    set.addPoint(Vec3f(3, 0, 0));
    std::vector<int> idx;
    std::vector<float> dist;

    // A zero radius is the fixed-radius form: only the coincident point, whatever k says.
    set.ANNquery(Vec3f(0, 0, 0), 3, 0.0f, idx, dist, false);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0], 0);
    // The radius form ignores k and returns everything inside.
    set.ANNquery(Vec3f(0, 0, 0), 1, 4.0f, idx, dist, true);
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_FLOAT_EQ(dist[1], 1.0f);

    // More neighbours than points: never undefined indices.
    set.knnQuery(Vec3f(0, 0, 0), 10, idx, dist, true);
    ASSERT_EQ(idx.size(), 3u);
    EXPECT_EQ(idx[2], 2);
    EXPECT_FLOAT_EQ(dist[2], 3.0f);

    PointSetANN empty;
    empty.knnQuery(Vec3f(0, 0, 0), 1, idx, dist, true);
    EXPECT_TRUE(idx.empty());
    empty.rangeQuery(Vec3f(0, 0, 0), 1.0f, idx, dist, true);
    EXPECT_TRUE(dist.empty());
}

TEST(PointSetANN, TreeReuseAndCopies) {
    PointSetANN set;
    set.addPoint(Vec3f(0, 0, 0));
    set.addPoint(Vec3f(5, 0, 0));
    std::vector<int> idx;
    std::vector<float> dist;
    set.knnQuery(Vec3f(4, 0, 0), 1, idx, dist, false);
    EXPECT_EQ(idx[0], 1);

    // An in-place change is invisible to a reused tree, visible after a rebuild.
    set.point(0) = Vec3f(4, 0, 0);
    set.knnQuery(Vec3f(4, 0, 0), 1, idx, dist, true);
    EXPECT_EQ(idx[0], 1);
    set.knnQuery(Vec3f(4, 0, 0), 1, idx, dist, false);
    EXPECT_EQ(idx[0], 0);

    // A copy builds its own tree over its own points.
    PointSetANN copy(set);
    EXPECT_FALSE(copy.hasTree());
    copy.point(0) = Vec3f(-10, 0, 0);
    copy.knnQuery(Vec3f(4, 0, 0), 1, idx, dist, true);
    EXPECT_EQ(idx[0], 1);
    set.knnQuery(Vec3f(4, 0, 0), 1, idx, dist, true);
    EXPECT_EQ(idx[0], 0);

    // Assignment and setPoints release the tree.
    PointSetANN other;
    other.addPoint(Vec3f(1, 1, 1));
    other.knnQuery(Vec3f(0, 0, 0), 1, idx, dist, true);
    other = set;
    EXPECT_FALSE(other.hasTree());
    EXPECT_EQ(other.size(), 2);
    other.setPoints({Vec3f(9, 9, 9)});
    other.knnQuery(Vec3f(0, 0, 0), 5, idx, dist, true);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_NEAR(dist[0], std::sqrt(243.0f), 1e-4f);

    // A tree built before addPoint still answers with the old points only.
    set.addPoint(Vec3f(4, 0, 0.5f));
    set.knnQuery(Vec3f(4, 0, 0), 5, idx, dist, true);
    EXPECT_EQ(idx.size(), 2u);
}

TEST(PointSetANN, NonFiniteCoordinateCountsAsZero) {
    PointSetANN set;
    set.addPoint(Vec3f(NAN, 2, 0));
    set.addPoint(Vec3f(1, 1, 1));
    LogCapture log;
    std::vector<int> idx;
    std::vector<float> dist;
    set.knnQuery(Vec3f(0, 2, 0), 1, idx, dist, false);
    const std::string err = log.err();
    EXPECT_EQ(err, "Error in ANNquery(): Non-finite floating point value at index 0!\n");
    EXPECT_EQ(idx[0], 0);
    EXPECT_FLOAT_EQ(dist[0], 0.0f);
}

TEST(PointSetANN, RemovePointsInAnyOrder) {
    PointSetANN a = randomPoints(20, 3);
    PointSetANN b(a);
    a.removePoints({2, 17, 5, 0});
    b.removePoints({0, 2, 5, 17, 17, -1, 40});
    ASSERT_EQ(a.size(), 16);
    ASSERT_EQ(b.size(), 16);
    PointSetANN original = randomPoints(20, 3);
    std::vector<int> keptIndices;
    for (int i = 0; i < 20; ++i)
        if (i != 0 && i != 2 && i != 5 && i != 17) keptIndices.push_back(i);
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(a.point(k), original.point(keptIndices[k]));
        EXPECT_EQ(b.point(k), original.point(keptIndices[k]));
    }

    // A tree built before the removal (or a shrinking resize) is not reused.
    std::vector<int> idx;
    std::vector<float> dist;
    a.knnQuery(a.point(0), 1, idx, dist, false);
    a.removePoints({15, 14, 13, 12, 11, 10});
    a.knnQuery(original.point(19), 20, idx, dist, true);
    EXPECT_EQ(idx.size(), 10u);
    b.knnQuery(b.point(0), 1, idx, dist, false);
    b.resize(10);
    EXPECT_FALSE(b.hasTree());
}

TEST(FeatureSetANN, QueriesMatchBruteForce) {
    // Five coordinates go to ANN; six (twists) to the exact tree, which must give the same lists.
    for (const int d : {5, 6}) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        FeatureSetANN set(d);
        for (int i = 0; i < 300; ++i) {
            FeatureVector v(d);
            for (float& x : v) x = u(rng);
            set.addPoint(v);
        }
        std::vector<int> idx;
        std::vector<float> dist;
        for (int trial = 0; trial < 20; ++trial) {
            // Longer query vectors: only the first d values count.
            FeatureVector q(d + 2, 100.0f);
            for (int c = 0; c < d; ++c) q[c] = u(rng);
            std::vector<std::pair<float, int>> expected;
            for (int i = 0; i < set.size(); ++i) {
                float s = 0;
                for (int c = 0; c < d; ++c) s += (set.point(i)[c] - q[c]) * (set.point(i)[c] - q[c]);
                expected.emplace_back(s, i);
            }
            std::sort(expected.begin(), expected.end());
            set.knnQuery(q, 4, idx, dist, true);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(idx[k], expected[k].second);
            set.rangeQuery(q, 0.1f, idx, dist, true);
            const size_t inside =
                std::count_if(expected.begin(), expected.end(),
                              [](const std::pair<float, int>& e) { return e.first <= 0.1f; });
            ASSERT_EQ(idx.size(), inside);
            for (size_t k = 0; k < inside; ++k) EXPECT_EQ(idx[k], expected[k].second) << "nearest first";
        }
    }
}

TEST(FeatureSetANN, ResizeSetPointsAndCopies) {
    FeatureSetANN set(3);
    set.resize(2);
    EXPECT_EQ(set.point(1), FeatureVector(3, 0.0f));
    set.point(1) = {1, 1, 1};
    std::vector<int> idx;
    std::vector<float> dist;
    set.knnQuery({1, 1, 1}, 1, idx, dist, true);
    EXPECT_EQ(idx[0], 1);
    // A shrinking resize drops the tree that names the vectors gone.
    set.resize(1);
    set.knnQuery({1, 1, 1}, 2, idx, dist, true);
    EXPECT_EQ(idx, std::vector<int>({0}));

    FeatureSetANN copy(set);
    EXPECT_EQ(copy.dimension(), 3);
    EXPECT_FALSE(copy.hasTree());
    copy.setPoints({{5, 5, 5}});
    EXPECT_EQ(copy.size(), 1);
    copy.knnQuery({1, 1, 1}, 3, idx, dist, true);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_NEAR(dist[0], std::sqrt(48.0f), 1e-4f);
}

TEST(CorrespondenceList, FileRoundTrip) {
    const std::string path = testing::TempDir() + "veltrix_corr.txt";
    std::remove(path.c_str());
    CorrespondenceList list;
    list.addCorrespondence(Vec3f(1, 2.5f, -3), Vec3f(0.125f, 1e-7f, 1234567.0f), 4, 9);
    list.addCorrespondence(Vec3f(0, 0, 0), Vec3f(1, 1, 1), 1, 2);
    LogCapture log;
    ASSERT_TRUE(list.save(path));
    EXPECT_EQ(log.out(), "Saving correspondences to: " + path + "...done!\n");

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "[1,2.5,-3] <-> [0.125,1e-07,1.23457e+06]\n[0,0,0] <-> [1,1,1]\n");

    CorrespondenceList loaded;
    ASSERT_TRUE(loaded.load(path));
    ASSERT_EQ(loaded.size(), 2);
    EXPECT_EQ(loaded.sourceIndices, std::vector<int>({0, 0}));
    EXPECT_EQ(loaded.targetIndices, std::vector<int>({0, 0}));
    EXPECT_EQ(loaded.sourcePoints.point(0), Vec3f(1, 2.5f, -3));

    // Saving the loaded list reproduces the file.
    const std::string again = path + ".2";
    ASSERT_TRUE(loaded.save(again));
    std::ifstream in2(again);
    std::stringstream text2;
    text2 << in2.rdbuf();
    EXPECT_EQ(text2.str(), text.str());

    // A missing file leaves the list unchanged.
    LogCapture log2;
    EXPECT_FALSE(loaded.load(path + ".missing"));
    EXPECT_EQ(log2.out(),
              "Warning in CorrespondenceList::load(): Cannot open file " + path + ".missing!\n");
    EXPECT_EQ(loaded.size(), 2);
    std::remove(path.c_str());
    std::remove(again.c_str());
}

TEST(CorrespondenceList, OnlyCompleteLinesAddPairsAndFullDisksFailSaves) {
    const std::string path = testing::TempDir() + "veltrix_corr_bad.txt";
    std::ofstream(path) << "[1,2,3] <-> [4,5,6]\n\n  # a comment\n[7,8,x] <-> [0,0,0]\n[9,9,9] <-> [1,1,1]\n";
    CorrespondenceList list;
    LogCapture log;
    ASSERT_TRUE(list.load(path));
    EXPECT_NE(log.out().find("Warning in CorrespondenceList::load(): skipped 1 unreadable "
                             "line in " + path + "."),
              std::string::npos);
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list.sourcePoints.point(1), Vec3f(9, 9, 9));
    LogCapture log2;
    EXPECT_FALSE(list.save("/dev/full"));
    EXPECT_NE(log2.out().find("Could not write file /dev/full!"), std::string::npos);
    std::remove(path.c_str());
}
