#include "windows/frmSplash.h"

#include <qdrawutil.h>
#include <QApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>

#include "platform/qt/icons.h"
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

QFont SerifFont(qreal points, bool bold, bool italic) {
    // Where that family is missing, a face of the same measure, or else the desktop's serif. The
    // font matching picks among them when the text is laid out; asking the font database first
    // would load all of it before the icon is up.
    QFont font;
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                      QStringLiteral("Tinos"), QStringLiteral("Nimbus Roman"),
                      QStringLiteral("TeX Gyre Termes"), QStringLiteral("Times")});
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, const QRect& twips,
                 const QFont& font, Qt::Alignment align, bool autoSize) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
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

frmSplash::frmSplash()
    : Form(kName, Qt::SplashScreen | Qt::FramelessWindowHint),
      fraBorder(new QFrame(this)),
      lblBeta(title::NewBeta(fraBorder, {120, 120, 2775, 975})),
      lblTitle1(title::NewLabel(fraBorder, "lblTitle1", QStringLiteral("Bay"),
                                {240, 120, 1080, 465}, title::SerifFont(20.25, false, true),
                                Qt::AlignLeft | Qt::AlignTop, true)),
      lblTitle2(title::NewLabel(fraBorder, "lblTitle2", QStringLiteral("minder"),
                                {600, 360, 1575, 555}, title::SerifFont(20.25, true, false),
                                Qt::AlignLeft | Qt::AlignTop, true)),
      lblVersion(title::NewLabel(fraBorder, "lblVersion", QString(), {2160, 360, 615, 375},
                                 title::SerifFont(20.25, false, false),
                                 Qt::AlignLeft | Qt::AlignTop, false)),
      lblCopyright(title::NewLabel(fraBorder, "lblCopyright", title::CopyrightText(),
                                   {240, 840, 2580, 195}, QApplication::font(), Qt::AlignCenter,
                                   false)),
      tmrUnloadForm(&NewTimer(2000, [this] { tmrUnloadForm_Timer(); })) {
    setWindowTitle(QString::fromLatin1(kProductName));
    setWindowIcon(platform::ProgramIcon());
    fraBorder->setObjectName(QStringLiteral("fraBorder"));
    fraBorder->setFrameStyle(QFrame::Box | QFrame::Sunken);
    fraBorder->setGeometry(title::PixelRect(240, 120, 3015, 1215));
    // The line sizes itself to its text, centred in the frame.
    title::FitWidth(lblCopyright, fraBorder->width() - title::Pixels(120));
    const QSize text = lblCopyright->sizeHint();
    lblCopyright->setGeometry((fraBorder->width() - text.width()) / 2, lblCopyright->y(),
                              text.width(), std::max(lblCopyright->height(), text.height()));
    setFixedSize(title::Pixels(3495), title::Pixels(1575));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void frmSplash::Form_Load() {
    lblVersion->setText(VersionText(kVersionMajor, kVersionMinor));
    lblVersion->adjustSize();
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
