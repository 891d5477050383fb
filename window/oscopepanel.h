#pragma once

// The window's lower panel: the oscilloscope's two graphs with a splitter between them, a strip
// of horizontal pan, zoom and reset buttons with the position readout above them, and a strip
// of vertical ones to their right. The panel makes itself the one the Oscilloscope functions
// act on.
//
// Double buffering needs no switch: Qt paints every widget into a back buffer first, so the
// graphs never flicker.

#include "controls/autobttn.h"
#include "controls/panel.h"
#include "graph/graphbox.h"

#include <QLabel>
#include <QToolButton>
#include <QWidget>

// A bar between two controls stacked top to bottom that resizes the upper one when dragged.
class TSplitter : public TPanel {
public:
    // MinSize: the least height the upper control and the one below may keep.
    TSplitter(QWidget* parent, QWidget* above, int minSize);

    std::function<void()> OnMoved;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QWidget* Above;
    int MinSize;
    int GrabY = 0;
};

class TOscopePanel : public TPanel {
public:
    explicit TOscopePanel(QWidget* parent);
    ~TOscopePanel() override;

    TPanel* HorzButtonStrip;
    TAutoButton* LeftRawBtn;
    TAutoButton* ZoomInRawHBtn;
    QToolButton* ResetRawHBtn;
    TAutoButton* ZoomOutRawHBtn;
    TAutoButton* PanRightRawHBtn;
    TPanel* PositionPanel;
    QLabel* PosXDis;
    TPanel* PositionGap;
    QLabel* PosYDis;
    TPanel* VertButtonStrip;
    TAutoButton* PanUpRawVBtn;
    TAutoButton* ZoomInRawVBtn;
    QToolButton* ResetRawVBtn;
    TAutoButton* ZoomOutRawVBtn;
    TAutoButton* PanDownRawVBtn;
    TPanel* GraphsPanel;
    TGraphBox* LeftGraph;
    TSplitter* GraphSplitter;
    TGraphBox* RightGraph;

    void PanUpRawVBtnClick();
    void PanDownRawVBtnClick();
    void ZoomInRawVBtnClick();
    void ZoomOutRawVBtnClick();
    void ResetRawVBtnClick();
    void LeftRawBtnClick();
    void PanRightRawHBtnClick();
    void ZoomInRawHBtnClick();
    void ZoomOutRawHBtnClick();
    void ResetRawHBtnClick();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Places the docked children for the current size and the splitter's position.
    void LayOut();

    // The left graph's height as the splitter last set it.
    int LeftGraphWanted;
};
