// The feature-space window: the twists of the correspondence search drawn as points, three
// components at a time.
#include "viewers/FeatureViewer.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "viewers/CorrespViewer.h"
#include "matching/MatchCandidates.h"
#include "matching/RigidTransform.h"
#include "app/Scene.h"

namespace veltrix {

namespace {

const int kMessageMs = 2000;
const float kPi = 3.1415927f;

const std::array<float, 3> kFilteredColor = {0.3f, 0.3f, 0.5f};
const std::array<float, 3> kSelectedColor = {0.7f, 0.7f, 1.0f};

// Distance of each status line above the bottom of the window, in pixels.
const int kVerifiedLine = 60;
const int kFilteredLine = 48;
const int kSelectedLine = 36;
const int kAllLine = 24;

std::array<float, 3> toColor(const Vec3f& c) { return {c.x, c.y, c.z}; }
std::array<float, 3> toColor(const QColor& c) { return {float(c.redF()), float(c.greenF()), float(c.blueF())}; }

bool hasClusters(const MatchCandidates& mc) { return !mc.clusters.label.empty() && !mc.clusters.modes.empty(); }

// Size of cluster i, 0 when the size list is shorter than the mode list.
int clusterSize(const MatchCandidates& mc, int i)
{
    return i >= 0 && size_t(i) < mc.clusters.sizes.size() ? mc.clusters.sizes[size_t(i)] : 0;
}

}  // namespace

FeatureViewer::FeatureViewer(Scene* s) : QGLViewer(static_cast<QWidget*>(nullptr)), scene(s)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Feature Space Viewer");
    // Its own state file, so that closing this window never overwrites the main window's camera.
    setStateFileName(".featureViewer.xml");
    // The menu lives with the window rather than with the GL context, which the widget may set up
    // more than once.
    buildMenu();
}

void FeatureViewer::buildMenu()
{
    menu = new QMenu("&Menu", this);
    auto checkable = [this](const char* text) {
        QAction* a = menu->addAction(text);
        a->setCheckable(true);
        a->setChecked(false);
        connect(a, &QAction::toggled, this, [this]() { update(); });
        return a;
    };
    actionPlotAll = checkable("&Plot All Transformations...");
    actionPlotFiltered = checkable("&Plot Filtered Cluster Modes...");
    actionPlotSelected = checkable("&Plot Selected Cluster Modes...");
    actionPlotVerified = checkable("&Plot Verified Transformations...");
}

void FeatureViewer::init()
{
    restoreStateFromFile();
    setShortcut(EXIT_VIEWER, 0);
    setSceneBoundingBox(qglviewer::Vec(-kPi, -kPi, -kPi), qglviewer::Vec(kPi, kPi, kPi));
    camera()->setZNearCoefficient(0.01);
    camera()->setZClippingCoefficient(10.0);
    showEntireScene();
    setBackgroundColor(Qt::white);
    setForegroundColor(Qt::black);
    resizeGL(width(), height());
}

void FeatureViewer::showMessage(const QString& text)
{
    lastMessage = text;
    displayMessage(text, kMessageMs);
}

void FeatureViewer::keyPressEvent(QKeyEvent* e)
{
    const bool plain = (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && e->key() == Qt::Key_S) {
        firstDimension = firstDimension >= 0 && firstDimension < 3 ? firstDimension + 1 : 0;
        showMessage(QString("Displaying dimensions: [%1,%2,%3]")
                        .arg(firstDimension)
                        .arg(firstDimension + 1)
                        .arg(firstDimension + 2));
        update();
    } else if (plain && e->key() == Qt::Key_M) {
        showClusterModes = !showClusterModes;
        showMessage(QString("Showing Cluster Modes: %1").arg(showClusterModes ? "on" : "off"));
        update();
    } else if (plain && e->key() == Qt::Key_Space) {
        const QRect g = geometry();
        menu->popup(QPoint(g.x() + g.width() / 7, g.y() + g.height() / 7));
    } else {
        QGLViewer::keyPressEvent(e);
    }
}

void FeatureViewer::watchCorrespViewer()
{
    if (correspViewer == watchedViewer)
        return;
    if (watchedViewer)
        disconnect(watchedViewer, &QObject::destroyed, this, nullptr);
    watchedViewer = correspViewer;
    if (!watchedViewer)
        return;
    CorrespViewer* watched = watchedViewer;
    connect(watched, &QObject::destroyed, this, [this, watched]() {
        if (correspViewer == watched)
            correspViewer = nullptr;
        if (watchedViewer == watched)
            watchedViewer = nullptr;
    });
}

void FeatureViewer::ensureClusterColors(int n)
{
    if (n > 0 && scene->clusterColors.size() < size_t(n))
        scene->makeClusterColors(n);
}

bool FeatureViewer::plotPoint(const std::vector<float>& c, const std::array<float, 3>& color,
                              std::vector<DrawnPoint>& out)
{
    std::array<float, 3> p;
    for (int k = 0; k < 3; ++k) {
        const size_t d = size_t(firstDimension + k);
        p[size_t(k)] = d < c.size() ? c[d] : 0.0f;
        if (!std::isfinite(p[size_t(k)]))
            return false;
    }
    glColor4f(color[0], color[1], color[2], 1.0f);
    glVertex3f(p[0], p[1], p[2]);
    out.push_back({p, color});
    return true;
}

void FeatureViewer::queueStatusText(int lineOffset, const std::array<float, 3>& color, const QString& text,
                                    PlotRecord& plot)
{
    plot.text = text;
    pendingTexts.push_back({lineOffset, color, text});
}

void FeatureViewer::draw()
{
    record = DrawRecord();
    pendingTexts.clear();
    watchCorrespViewer();
    if (!scene || !scene->matchCandidates)
        return;
    glDisable(GL_LIGHTING);
    if (actionPlotVerified->isChecked())
        plotVerifiedTransformations();
    if (actionPlotFiltered->isChecked())
        plotFilteredClusterModes();
    if (actionPlotSelected->isChecked())
        plotSelectedPairs();
    if (actionPlotAll->isChecked())
        plotAllTransformations();

    // The texts go last: text drawing paints over the GL state that the point batches rely on.
    for (const StatusText& t : pendingTexts) {
        glColor4f(t.color[0], t.color[1], t.color[2], 1.0f);
        drawText(10, height() - t.lineOffset, t.text);
    }
    pendingTexts.clear();
}

void FeatureViewer::plotVerifiedTransformations()
{
    MatchCandidates& mc = *scene->matchCandidates;
    if (mc.regions.empty() || mc.regionTransforms.empty())
        return;
    PlotRecord& plot = record.verified;
    plot.drawn = true;
    const int n = int(std::min(mc.regions.size(), mc.regionTransforms.size()));
    ensureClusterColors(n);
    // A search object built without a usable spread keeps the translations as they are.
    const float scale = std::isfinite(mc.translationScale) && mc.translationScale > 0 ? mc.translationScale : 1.0f;

    glPointSize(3.0f);
    glBegin(GL_POINTS);
    for (int i = 0; i < n; ++i) {
        if (mc.regions[size_t(i)].size() <= scene->minMatchSize_VR)
            continue;
        RigidTransform T = mc.regionTransforms[size_t(i)];
        for (int k = 0; k < 3; ++k)
            T.t[k] = (T.t[k] - mc.translationMean[k]) / scale;
        const Twist twist = transformToTwist(T);
        plotPoint(std::vector<float>(twist.begin(), twist.end()), toColor(scene->clusterColor(i)), plot.points);
    }
    glEnd();

    queueStatusText(kVerifiedLine, toColor(foregroundColor()),
                   QString("Showing %1/%2 verified regions").arg(plot.points.size()).arg(mc.regions.size()),
                   plot);
}

void FeatureViewer::plotFilteredClusterModes()
{
    MatchCandidates& mc = *scene->matchCandidates;
    if (!hasClusters(mc)) {
        std::cerr << "Error in FeatureViewer::drawSelectedClusterModes(): Missing pose clustering result."
                  << std::endl;
        return;
    }
    PlotRecord& plot = record.filtered;
    plot.drawn = true;
    const int limit = scene->maxNumVerifyClusters_VR;
    std::vector<int> kept;
    for (int i = 1; i < mc.clusters.modes.size(); ++i) {
        if (clusterSize(mc, i) < scene->minVerifyClusterSize)
            continue;
        if (limit >= 0 && int(kept.size()) >= limit)
            break;
        kept.push_back(i);
    }

    glPointSize(5.0f);
    glBegin(GL_POINTS);
    for (int i : kept)
        plotPoint(mc.clusters.modes.point(i), kFilteredColor, plot.points);
    glEnd();

    queueStatusText(kFilteredLine, kFilteredColor,
                   QString("Filtering %1/%2 clusters").arg(kept.size()).arg(mc.clusters.modes.size()), plot);
}

void FeatureViewer::plotSelectedPairs()
{
    MatchCandidates& mc = *scene->matchCandidates;
    if (!correspViewer || mc.size() == 0) {
        std::cerr << "Error in FeatureViewer::drawSelectedClusterModes(): Missing transformation sampling or "
                     "correspViewer."
                  << std::endl;
        return;
    }
    PlotRecord& plot = record.selected;
    plot.drawn = true;
    const std::vector<int> pairs = mc.pairsBetween(correspViewer->sourceSelection, correspViewer->targetSelection);

    glPointSize(3.0f);
    glBegin(GL_POINTS);
    for (int k : pairs)
        if (k >= 0 && k < mc.transformationSpace.size())
            plotPoint(mc.transformationSpace.point(k), kSelectedColor, plot.points);
    glEnd();

    queueStatusText(kSelectedLine, kSelectedColor, QString("Selecting %1/%2 pairs").arg(pairs.size()).arg(mc.size()), plot);
}

void FeatureViewer::plotAllTransformations()
{
    MatchCandidates& mc = *scene->matchCandidates;
    PlotRecord& plot = record.all;
    plot.drawn = true;
    const std::array<float, 3> foreground = toColor(foregroundColor());
    const int pairCount = mc.transformationSpace.size();

    glPointSize(5.0f);
    if (!hasClusters(mc)) {
        glBegin(GL_POINTS);
        for (int k = 0; k < pairCount; ++k)
            plotPoint(mc.transformationSpace.point(k), foreground, plot.points);
        glEnd();
        return;
    }

    const int clusterCount = mc.clusters.modes.size();
    ensureClusterColors(clusterCount);
    const int minSize = scene->minVerifyClusterSize;
    auto shown = [&](int c) { return c > 0 && c < clusterCount && clusterSize(mc, c) >= minSize; };

    const int labelled = std::min(pairCount, int(mc.clusters.label.size()));
    glBegin(GL_POINTS);
    for (int k = 0; k < labelled; ++k) {
        const int c = mc.clusters.label[size_t(k)];
        if (shown(c))
            plotPoint(mc.transformationSpace.point(k), toColor(scene->clusterColor(c)), plot.points);
    }
    glEnd();

    int shownClusters = 0;
    for (int c = 1; c < clusterCount; ++c)
        shownClusters += shown(c) ? 1 : 0;
    if (showClusterModes) {
        glPointSize(6.0f);
        glBegin(GL_POINTS);
        for (int c = 1; c < clusterCount; ++c)
            if (shown(c))
                plotPoint(mc.clusters.modes.point(c), toColor(scene->clusterColor(c)), plot.modes);
        glEnd();
    }

    queueStatusText(kAllLine, foreground, QString("Showing %1/%2 clusters").arg(shownClusters).arg(clusterCount), plot);
}

}  // namespace veltrix
