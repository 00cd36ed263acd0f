#pragma once
#include <QGLViewer/qglviewer.h>
#include <QString>

#include <array>
#include <vector>

class QAction;
class QKeyEvent;
class QMenu;

namespace veltrix {

class CorrespViewer;
class Scene;

// The transformation space of the correspondence search as a 3-D point cloud: the twist of every
// candidate pair, the cluster modes, the verified region transformations and the pairs selected in
// the correspondence viewer, showing three consecutive twist components at a time.
class FeatureViewer : public QGLViewer {
    Q_OBJECT
public:
    // A top-level window (no parent) that deletes itself when closed.
    explicit FeatureViewer(Scene* scene);

    // Source of the vertex selections; null, or set by the main viewer. Reset to null when the
    // correspondence viewer it points at is destroyed.
    CorrespViewer* correspViewer = nullptr;
    Scene* scene;
    // The displayed axes are twist components firstDimension .. firstDimension + 2 (0..3).
    int firstDimension = 0;
    bool showClusterModes = true;
    QMenu* menu = nullptr;
    QAction* actionPlotAll = nullptr;
    QAction* actionPlotVerified = nullptr;
    QAction* actionPlotFiltered = nullptr;
    QAction* actionPlotSelected = nullptr;

    // What one plot of the last draw did. A point is its three displayed coordinates and the
    // colour it was drawn in (red, green, blue).
    struct DrawnPoint {
        std::array<float, 3> position;
        std::array<float, 3> color;
    };
    struct PlotRecord {
        bool drawn = false;              // the plot ran and was not stopped by missing data
        std::vector<DrawnPoint> points;  // pairs, regions or modes drawn (point size of the plot)
        std::vector<DrawnPoint> modes;   // all-transformations plot: the cluster modes on top
        QString text;                    // status text, empty when none was drawn
    };
    struct DrawRecord {
        PlotRecord verified, filtered, selected, all;
    };
    const DrawRecord& lastDraw() const { return record; }
    // The last message shown in the view (kept after it disappears).
    const QString& shownMessage() const { return lastMessage; }

public slots:
    void updateGL() { update(); }

protected:
    void init() override;
    void draw() override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void buildMenu();
    void showMessage(const QString& text);
    // Follows the destruction of the correspondence viewer so that a dangling pointer is never used.
    void watchCorrespViewer();
    // Colours for n clusters (or regions), made when the scene has fewer.
    void ensureClusterColors(int n);
    // Adds one point of a 6-component vector at the displayed components (missing components
    // count as 0; a point with a non-finite displayed component is skipped). Returns whether it
    // was drawn.
    bool plotPoint(const std::vector<float>& c, const std::array<float, 3>& color,
                   std::vector<DrawnPoint>& out);
    // Status line at lineOffset pixels above the bottom, drawn after all plots in the given colour.
    void queueStatusText(int lineOffset, const std::array<float, 3>& color, const QString& text,
                         PlotRecord& plot);

    void plotVerifiedTransformations();
    void plotFilteredClusterModes();
    void plotSelectedPairs();
    void plotAllTransformations();

    struct StatusText {
        int lineOffset;
        std::array<float, 3> color;
        QString text;
    };
    std::vector<StatusText> pendingTexts;
    DrawRecord record;
    QString lastMessage;
    CorrespViewer* watchedViewer = nullptr;
};

}  // namespace veltrix
