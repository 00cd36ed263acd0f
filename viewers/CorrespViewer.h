#pragma once
#include <QSplitter>

#include <vector>

#include "Subject.h"

class Scene;

// The source and target panes side by side with one camera.
class CorrespViewer : public QSplitter, public Observer {
    Q_OBJECT
public:
    explicit CorrespViewer(Scene* scene, QWidget* parent = nullptr);
    ~CorrespViewer() override;

    void update(Subject* subject) override;
    using QSplitter::update;
    void DisplayCorrespondenceResult(bool show);

    Scene* scene;
    std::vector<int> sourceSelection;
    std::vector<int> targetSelection;

signals:
    void updateViews();

public slots:
    void updateDisplay();
};
