#pragma once
// The splash window: the name, the version and the copyright; it closes itself after five seconds.
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QRect>
#include <QString>
#include <cstdint>

#include "forms/form.h"

namespace bm {

// The version as the windows show it: major, a full stop, minor, both in plain decimal.
QString VersionText(int major, int minor);

// What the splash and About windows share; their layouts are measured in twips.
namespace title {
// Pixels for a length in twips, 15 to a pixel at 96 dots per inch.
int Pixels(int twips);
QRect PixelRect(int left, int top, int width, int height);
// Latin text needs no shaping, and skipping it spares loading the shaper.
QFont UnshapedFont(QFont font);
QFont SerifFont(qreal points, bool bold, bool italic);
// A label at a place given in twips; one that sizes itself keeps its top-left corner.
QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, const QRect& twips,
                 const QFont& font, Qt::Alignment align, bool autoSize);
QLabel* SetUpLabel(QLabel* label, const char* name, const QRect& twips, const QFont& font,
                   Qt::Alignment align, bool autoSize);
// The large grey mark, drawn behind the labels that follow it.
QLabel* NewBeta(QWidget* parent, const QRect& twips);
// Smaller type until the text fits the width, within reason.
void FitWidth(QLabel* label, int width);
QString CopyrightText();
}  // namespace title

class frmSplash : public forms::Form {
  public:
    static constexpr const char* kName = "frmSplash";
    frmSplash();

    void Form_Load() override;
    void Form_QueryUnload(std::int16_t& Cancel, std::int16_t UnloadMode) override;
    void tmrUnloadForm_Timer();

    QFrame* fraBorder;
    QLabel* lblBeta;
    QLabel* lblTitle1;
    QLabel* lblTitle2;
    QLabel* lblVersion;
    QLabel* lblCopyright;
    platform::Timer* tmrUnloadForm;

  protected:
    // No title bar, so the window draws its own raised border.
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace bm
