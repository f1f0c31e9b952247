#include "windows/frmSplash.h"

#include <qdrawutil.h>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QPainter>
#include <QScreen>

#include "platform/services.h"
#include "version.h"

namespace bm {

QString VersionText(int major, int minor) {
    return QStringLiteral("%1.%2").arg(major).arg(minor);
}

namespace title {

int Pixels(int twips) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
    return qRound(twips / 15.0 * dpi / 96.0);
}

QRect PixelRect(int left, int top, int width, int height) {
    return {Pixels(left), Pixels(top), Pixels(width), Pixels(height)};
}

QFont UnshapedFont(QFont font) {
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

QFont SerifFont(qreal points, bool bold, bool italic) {
    // Where that family is missing, a face of the same measure, or else the desktop's serif. The
    // font matching picks among them when the text is laid out; asking the font database first
    // would load all of it before the icon is up.
    QFont font;
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                      QStringLiteral("Tinos"), QStringLiteral("Nimbus Roman"),
                      QStringLiteral("TeX Gyre Termes"), QStringLiteral("Times")});
    font.setStyleHint(QFont::Serif, QFont::PreferNoShaping);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, const QRect& twips,
                 const QFont& font, Qt::Alignment align, bool autoSize) {
    return SetUpLabel(new QLabel(text, parent), name, twips, font, align, autoSize);
}

QLabel* SetUpLabel(QLabel* label, const char* name, const QRect& twips, const QFont& font,
                   Qt::Alignment align, bool autoSize) {
    forms::Named(label, name);
    label->setFont(font);
    label->setAlignment(align);
    label->setGeometry(PixelRect(twips.x(), twips.y(), twips.width(), twips.height()));
    if (autoSize) {
        label->adjustSize();
    }
    return label;
}

QLabel* NewBeta(QWidget* parent, const QRect& twips) {
    QLabel* beta = NewLabel(parent, "lblBeta", QStringLiteral("BETA"), twips,
                            SerifFont(48, true, false), Qt::AlignCenter, false);
    QPalette palette = beta->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Dark));
    beta->setPalette(palette);
    beta->setAutoFillBackground(false);
    beta->setAttribute(Qt::WA_TransparentForMouseEvents);
    return beta;
}

void FitWidth(QLabel* label, int width) {
    QFont font = label->font();
    while (QFontMetrics(font).horizontalAdvance(label->text()) > width && font.pointSizeF() > 6) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    label->setFont(font);
}

QString CopyrightText() {
    return QStringLiteral("\u00A9 2026 The Bayminder developers");
}

}  // namespace title

namespace {

// The frame in twips, and the width of its sunken edge.
constexpr QRect kFrame{240, 120, 3015, 1215};
constexpr int kEdge = 30;

// A label that sizes itself to its text gets the room from its corner to the frame's edge
// instead: drawn from that corner, the text stands where it would, and nothing is measured
// before the first paint.
QRect ToEdge(int left, int top) {
    return {left, top, kFrame.width() - kEdge - left, kFrame.height() - kEdge - top};
}

// Smaller type until the text fits, worked out when first painted.
class FittedLabel : public QLabel {
  public:
    FittedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

  protected:
    void paintEvent(QPaintEvent* event) override {
        if (!fitted_) {
            fitted_ = true;
            title::FitWidth(this, width());
        }
        QLabel::paintEvent(event);
    }

  private:
    bool fitted_ = false;
};

}  // namespace

frmSplash::frmSplash()
    : Form(kName, Qt::SplashScreen | Qt::FramelessWindowHint),
      fraBorder(new QFrame(this)),
      lblBeta(title::NewBeta(fraBorder, {120, 120, 2775, 975})),
      lblTitle1(title::NewLabel(fraBorder, "lblTitle1", QStringLiteral("Bay"), ToEdge(240, 120),
                                title::SerifFont(20.25, false, true), Qt::AlignLeft | Qt::AlignTop,
                                false)),
      lblTitle2(title::NewLabel(fraBorder, "lblTitle2", QStringLiteral("minder"), ToEdge(600, 360),
                                title::SerifFont(20.25, true, false), Qt::AlignLeft | Qt::AlignTop,
                                false)),
      lblVersion(title::NewLabel(fraBorder, "lblVersion", QString(), ToEdge(2160, 360),
                                 title::SerifFont(20.25, false, false),
                                 Qt::AlignLeft | Qt::AlignTop, false)),
      // Centred in the frame, as it would be once sized to its text.
      lblCopyright(title::SetUpLabel(
          new FittedLabel(title::CopyrightText(), fraBorder), "lblCopyright",
          {kEdge * 2, 840, kFrame.width() - kEdge * 4, kFrame.height() - kEdge - 840},
          title::UnshapedFont(QApplication::font()), Qt::AlignHCenter | Qt::AlignTop, false)),
      tmrUnloadForm(&NewTimer(2000, [this] { tmrUnloadForm_Timer(); })) {
    setWindowTitle(QString::fromLatin1(kProductName));
    forms::Named(fraBorder, "fraBorder");
    fraBorder->setFrameStyle(QFrame::Box | QFrame::Sunken);
    fraBorder->setGeometry(
        title::PixelRect(kFrame.x(), kFrame.y(), kFrame.width(), kFrame.height()));
    setFixedSize(title::Pixels(3495), title::Pixels(1575));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    // Text loads the fonts, which costs more than the rest of the start-up: the frame with the
    // text comes when the program first waits for events, once the tray icon is up. The window
    // itself is painted as soon as it is shown.
    fraBorder->hide();
    if (const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, fraBorder, &QWidget::show,
                Qt::SingleShotConnection);
    } else {
        fraBorder->show();
    }
}

void frmSplash::Form_Load() {
    lblVersion->setText(VersionText(kVersionMajor, kVersionMinor));
    tmrUnloadForm->SetInterval(5000);
    tmrUnloadForm->SetEnabled(true);
}

void frmSplash::tmrUnloadForm_Timer() {
    tmrUnloadForm->SetEnabled(false);
    Hide();
    forms::FormRegistry::Unload(*this, forms::vbFormCode);
}

void frmSplash::Form_QueryUnload(std::int16_t& /*Cancel*/, std::int16_t /*UnloadMode*/) {
    // Held, not refused: the timer hides the window within five seconds of the load.
    platform::Get().host->WaitWhile([this] { return Visible(); });
}

void frmSplash::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), false);
}

}  // namespace bm
