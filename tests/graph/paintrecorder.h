#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLine>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPoint>
#include <QString>
#include <QTextItem>
#include <limits>
#include <vector>

// A paint device that keeps the texts drawn on it with their baseline points, so tests can read
// what a graph wrote and where. Its metrics are those of a QImage, so text widths match a
// render into an image.
class TPaintRecorder : public QPaintDevice {
public:
    struct TText {
        QPoint Baseline;
        QString Text;
    };

    TPaintRecorder(int width, int height) : Reference(width, height, QImage::Format_RGB32) {}
    QPaintEngine* paintEngine() const override { return &Engine; }

    const std::vector<TText>& Texts() const { return Engine.Texts; }
    std::vector<QString> TextStrings() const {
        std::vector<QString> texts;
        for (const TText& text : Engine.Texts)
            texts.push_back(text.Text);
        return texts;
    }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
        case PdmWidth:
            return Reference.width();
        case PdmHeight:
            return Reference.height();
        case PdmWidthMM:
            return Reference.widthMM();
        case PdmHeightMM:
            return Reference.heightMM();
        case PdmDepth:
            return 32;
        case PdmDpiX:
        case PdmPhysicalDpiX:
            return Reference.logicalDpiX();
        case PdmDpiY:
        case PdmPhysicalDpiY:
            return Reference.logicalDpiY();
        case PdmNumColors:
            return std::numeric_limits<int>::max();
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        default:
            return QPaintDevice::metric(metric);
        }
    }

private:
    class TEngine : public QPaintEngine {
    public:
        TEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState&) override {}
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawLines(const QLineF*, int) override {}
        void drawRects(const QRectF*, int) override {}
        void drawTextItem(const QPointF& p, const QTextItem& item) override {
            Texts.push_back({p.toPoint(), item.text()});
        }
        Type type() const override { return QPaintEngine::User; }

        std::vector<TText> Texts;
    };

    QImage Reference;
    mutable TEngine Engine;
};
