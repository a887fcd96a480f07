#include "platform/widgets/graphics.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "platform/dataset/dataset.h"
#include "platform/os/codepage.h"

namespace vx {

namespace {

// The system colours of the classic Windows 7 scheme, fixed so that every machine (and every
// screenshot and pixel test) paints the same.
TColor SystemColor(int index) {
  static constexpr std::array<TColor, 31> kColors = {
      0xC8C8C8,  // scroll bar
      0x000000,  // background
      0xD1B499,  // active caption
      0xDBCDBF,  // inactive caption
      0xF0F0F0,  // menu
      0xFFFFFF,  // window
      0x646464,  // window frame
      0x000000,  // menu text
      0x000000,  // window text
      0x000000,  // caption text
      0xB4B4B4,  // active border
      0xFCF7F4,  // inactive border
      0xABABAB,  // application workspace
      0xFF9933,  // highlight
      0xFFFFFF,  // highlight text
      0xF0F0F0,  // button face
      0xA0A0A0,  // button shadow
      0x6D6D6D,  // grey text
      0x000000,  // button text
      0x544E43,  // inactive caption text
      0xFFFFFF,  // button highlight
      0x696969,  // 3-D dark shadow
      0xE3E3E3,  // 3-D light
      0x000000,  // info text
      0xE1FFFF,  // info background
      0xB5B5B5,  // (unused)
      0xCC6600,  // hot light
      0xEAD1B9,  // gradient active caption
      0xF2E4D7,  // gradient inactive caption
      0xFF9933,  // menu highlight
      0xF0F0F0,  // menu bar
  };
  return index >= 0 && index < static_cast<int>(kColors.size()) ? kColors[index] : 0;
}

struct ColorName {
  TColor color;
  const char* name;
};
constexpr ColorName kColorNames[] = {
    {clBlack, "clBlack"},
    {clMaroon, "clMaroon"},
    {clGreen, "clGreen"},
    {clOlive, "clOlive"},
    {clNavy, "clNavy"},
    {clPurple, "clPurple"},
    {clTeal, "clTeal"},
    {clGray, "clGray"},
    {clSilver, "clSilver"},
    {clRed, "clRed"},
    {clLime, "clLime"},
    {clYellow, "clYellow"},
    {clBlue, "clBlue"},
    {clFuchsia, "clFuchsia"},
    {clAqua, "clAqua"},
    {clWhite, "clWhite"},
    {clNone, "clNone"},
    {clScrollBar, "clScrollBar"},
    {clBackground, "clBackground"},
    {clActiveCaption, "clActiveCaption"},
    {clWindow, "clWindow"},
    {clWindowFrame, "clWindowFrame"},
    {clWindowText, "clWindowText"},
    {clCaptionText, "clCaptionText"},
    {clHighlight, "clHighlight"},
    {clHighlightText, "clHighlightText"},
    {clBtnFace, "clBtnFace"},
    {clBtnShadow, "clBtnShadow"},
    {clGrayText, "clGrayText"},
    {clBtnText, "clBtnText"},
    {clBtnHighlight, "clBtnHighlight"},
    {cl3DDkShadow, "cl3DDkShadow"},
    {cl3DLight, "cl3DLight"},
    {clInfoBk, "clInfoBk"},
};

bool EqualNoCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

TColor ColorToRGB(TColor color) {
  if (color < 0) return SystemColor(color & 0xFF);
  return color & 0xFFFFFF;
}

QColor ToQColor(TColor color) {
  const TColor rgb = ColorToRGB(color);
  return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

TColor FromQColor(const QColor& color) {
  return color.red() | (color.green() << 8) | (color.blue() << 16);
}

bool IdentToColor(const std::string& text, TColor& color) {
  for (const auto& entry : kColorNames) {
    if (EqualNoCase(text, entry.name)) {
      color = entry.color;
      return true;
    }
  }
  if (text.empty()) return false;
  const bool hex = text[0] == '$';
  const std::string digits = hex ? text.substr(1) : text;
  if (digits.empty()) return false;
  char* end = nullptr;
  const long long value = std::strtoll(digits.c_str(), &end, hex ? 16 : 10);
  if (*end != '\0' || value < INT32_MIN || value > 0xFFFFFFFFLL) return false;
  color = static_cast<TColor>(static_cast<std::uint32_t>(value));
  return true;
}

std::string ColorToString(TColor color) {
  for (const auto& entry : kColorNames) {
    if (entry.color == color) return entry.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "$%08X", static_cast<unsigned>(color));
  return text;
}

int TFont::Size() const {
  return height_ < 0 ? (-height_ * 72 + 48) / 96 : (height_ * 72 + 48) / 96;
}

void TFont::SetSize(int points) { height_ = -((points * 96 + 36) / 72); }

QFont TFont::ToQFont() const {
  // The Windows faces the forms name are not installed here; DejaVu Sans is (fonts-dejavu-core).
  QString family = AnsiToQString(Name);
  if (family.isEmpty() || family == "MS Sans Serif" || family == "Arial" || family == "Tahoma" ||
      family == "System" || family == "Segoe UI" || family == "Microsoft Sans Serif")
    family = "DejaVu Sans";
  else if (family == "Courier New" || family == "Courier")
    family = "DejaVu Sans Mono";
  QFont font(family);
  font.setPixelSize(height_ == 0 ? 11 : std::abs(height_));
  font.setBold(Style.Contains(fsBold));
  font.setItalic(Style.Contains(fsItalic));
  font.setUnderline(Style.Contains(fsUnderline));
  font.setStrikeOut(Style.Contains(fsStrikeOut));
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

TRect Rect(int left, int top, int right, int bottom) { return TRect{left, top, right, bottom}; }

QRect ToQRect(const TRect& rect) { return QRect(rect.Left, rect.Top, rect.Width(), rect.Height()); }

void InflateRect(TRect& rect, int dx, int dy) {
  rect.Left -= dx;
  rect.Right += dx;
  rect.Top -= dy;
  rect.Bottom += dy;
}

namespace {
int text_code_page = 0;
}  // namespace

void SetTextCodePage(int page) { text_code_page = page; }
int TextCodePage() { return text_code_page; }

QString AnsiToQString(const std::string& ansi) {
  if (text_code_page != 0) {
    return QString::fromStdString(
        os::DecodeCodePage(text_code_page, ansi, os::OnFault::kReplace).text);
  }
  return QString::fromStdString(os::AnsiToUtf8(ansi));
}

std::string QStringToAnsi(const QString& text) {
  if (text_code_page != 0) {
    return os::EncodeCodePage(text_code_page, text.toStdString(), os::OnFault::kReplace).text;
  }
  return os::Utf8ToAnsi(text.toStdString());
}

std::string QStringToStored(const QString& text, const std::string& where,
                            std::size_t field_bytes) {
  const int page = text_code_page != 0 ? text_code_page : os::AnsiCodePage();
  const std::string utf8 = text.toStdString();
  const os::ConvertedText stored = os::EncodeCodePage(page, utf8, os::OnFault::kStop);
  if (stored.fault != os::TextFault::kNone) {
    DatabaseError(where + ": \"" + utf8.substr(stored.fault_offset, stored.fault_length) +
                  "\" has no place in code page " + std::to_string(page));
  }
  if (stored.text.size() > field_bytes) {
    DatabaseError(where + ": \"" + utf8 + "\" takes " + std::to_string(stored.text.size()) +
                  " bytes in code page " + std::to_string(page) + ", the field holds " +
                  std::to_string(field_bytes));
  }
  return QStringToAnsi(text);
}

// --- TCanvas --------------------------------------------------------------------------------

TCanvas::TCanvas() = default;
TCanvas::~TCanvas() = default;

void TCanvas::Begin(QPainter* painter) { painter_ = painter; }
void TCanvas::End() { painter_ = nullptr; }

void TCanvas::ApplyPen() {
  if (Pen.Style == psClear) {
    painter_->setPen(Qt::NoPen);
    return;
  }
  QPen pen(ToQColor(Pen.Color));
  pen.setWidth(Pen.Width);
  pen.setStyle(Pen.Style == psDash  ? Qt::DashLine
               : Pen.Style == psDot ? Qt::DotLine
                                    : Qt::SolidLine);
  pen.setCapStyle(Qt::FlatCap);
  pen.setJoinStyle(Qt::MiterJoin);
  painter_->setPen(pen);
}

void TCanvas::ApplyBrush() {
  if (Brush.Style == bsClear)
    painter_->setBrush(Qt::NoBrush);
  else
    painter_->setBrush(ToQColor(Brush.Color));
}

void TCanvas::ApplyFont() {
  painter_->setFont(Font.ToQFont());
  painter_->setPen(ToQColor(Font.Color));
}

void TCanvas::FillRect(const TRect& rect) {
  if (!painter_ || Brush.Style == bsClear) return;
  painter_->fillRect(ToQRect(rect), ToQColor(Brush.Color));
}

void TCanvas::FrameRect(const TRect& rect) {
  if (!painter_ || rect.Width() <= 0 || rect.Height() <= 0) return;
  const QColor color = ToQColor(Brush.Color);
  painter_->fillRect(QRect(rect.Left, rect.Top, rect.Width(), 1), color);
  painter_->fillRect(QRect(rect.Left, rect.Bottom - 1, rect.Width(), 1), color);
  painter_->fillRect(QRect(rect.Left, rect.Top, 1, rect.Height()), color);
  painter_->fillRect(QRect(rect.Right - 1, rect.Top, 1, rect.Height()), color);
}

// Windows draws shapes inside the rectangle with right and bottom excluded; the pen runs along
// the inside of that box.
void TCanvas::Rectangle(int left, int top, int right, int bottom) {
  if (!painter_) return;
  ApplyPen();
  ApplyBrush();
  const int w = Pen.Style == psClear ? 0 : Pen.Width;
  const double inset = w / 2.0;
  painter_->drawRect(QRectF(left + inset, top + inset, right - left - w, bottom - top - w));
}

void TCanvas::Ellipse(int left, int top, int right, int bottom) {
  if (!painter_) return;
  ApplyPen();
  ApplyBrush();
  const int w = Pen.Style == psClear ? 0 : Pen.Width;
  const double inset = w / 2.0;
  painter_->drawEllipse(QRectF(left + inset, top + inset, right - left - w, bottom - top - w));
}

void TCanvas::MoveTo(int x, int y) { pen_pos_ = {x, y}; }

void TCanvas::LineTo(int x, int y) {
  if (painter_) {
    ApplyPen();
    painter_->drawLine(pen_pos_.X, pen_pos_.Y, x, y);
  }
  pen_pos_ = {x, y};
}

void TCanvas::TextRect(const TRect& rect, int x, int y, const std::string& text) {
  if (!painter_) return;
  painter_->save();
  painter_->setClipRect(ToQRect(rect));
  if (Brush.Style != bsClear) painter_->fillRect(ToQRect(rect), ToQColor(Brush.Color));
  ApplyFont();
  const QFontMetrics metrics(painter_->font());
  painter_->drawText(x, y + metrics.ascent(), AnsiToQString(text));
  painter_->restore();
}

void TCanvas::TextRectAligned(const TRect& rect, const std::string& text, int flags) {
  if (!painter_) return;
  painter_->save();
  painter_->setClipRect(ToQRect(rect));
  ApplyFont();
  int qt_flags = Qt::TextSingleLine;
  qt_flags |= (flags & tfCenter)  ? Qt::AlignHCenter
              : (flags & tfRight) ? Qt::AlignRight
                                  : Qt::AlignLeft;
  qt_flags |= (flags & tfVCenter) ? Qt::AlignVCenter : Qt::AlignTop;
  painter_->setLayoutDirection((flags & tfRtlReading) ? Qt::RightToLeft : Qt::LeftToRight);
  painter_->drawText(ToQRect(rect), qt_flags, AnsiToQString(text));
  painter_->restore();
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  if (!painter_) return;
  ApplyFont();
  const QFontMetrics metrics(painter_->font());
  const QString q = AnsiToQString(text);
  if (Brush.Style != bsClear)
    painter_->fillRect(QRect(x, y, metrics.horizontalAdvance(q), metrics.height()),
                       ToQColor(Brush.Color));
  painter_->drawText(x, y + metrics.ascent(), q);
}

int TCanvas::TextWidth(const std::string& text) const {
  return QFontMetrics(Font.ToQFont()).horizontalAdvance(AnsiToQString(text));
}

int TCanvas::TextHeight(const std::string& text) const {
  return QFontMetrics(Font.ToQFont()).height();
}

TColor TCanvas::Pixel(int x, int y) const {
  if (!painter_) return clNone;
  auto* image = dynamic_cast<QImage*>(painter_->device());
  if (!image || !image->rect().contains(x, y)) return clNone;
  return FromQColor(image->pixelColor(x, y));
}

void TCanvas::CopyRect(const TRect& to, const TBitmap& source, const TRect& from) {
  if (!painter_) return;
  painter_->drawImage(ToQRect(to), source.Image(), ToQRect(from));
}

void TCanvas::Frame3D(TRect& rect, TColor top_left, TColor bottom_right, int width) {
  for (int i = 0; i < width; ++i) {
    if (painter_ && rect.Width() > 0 && rect.Height() > 0) {
      const QColor tl = ToQColor(top_left);
      const QColor br = ToQColor(bottom_right);
      painter_->fillRect(QRect(rect.Left, rect.Top, rect.Width(), 1), tl);
      painter_->fillRect(QRect(rect.Left, rect.Top, 1, rect.Height()), tl);
      painter_->fillRect(QRect(rect.Left, rect.Bottom - 1, rect.Width(), 1), br);
      painter_->fillRect(QRect(rect.Right - 1, rect.Top, 1, rect.Height()), br);
    }
    InflateRect(rect, -1, -1);
  }
}

void DrawBevel(TCanvas& canvas, TRect& rect, bool raised, int width) {
  if (raised)
    canvas.Frame3D(rect, clBtnHighlight, clBtnShadow, width);
  else
    canvas.Frame3D(rect, clBtnShadow, clBtnHighlight, width);
}

// --- TBitmap --------------------------------------------------------------------------------

TBitmap::TBitmap() : image_(std::make_unique<QImage>(1, 1, QImage::Format_RGB32)) {
  image_->fill(Qt::white);
}

TBitmap::~TBitmap() {
  canvas_.End();
  painter_.reset();
}

int TBitmap::Width() const { return image_->width(); }
int TBitmap::Height() const { return image_->height(); }

void TBitmap::SetSize(int width, int height) {
  canvas_.End();
  painter_.reset();
  image_ = std::make_unique<QImage>(std::max(width, 1), std::max(height, 1), QImage::Format_RGB32);
  image_->fill(Qt::white);
}

TCanvas& TBitmap::Canvas() {
  if (!painter_) {
    painter_ = std::make_unique<QPainter>(image_.get());
    canvas_.Begin(painter_.get());
  }
  return canvas_;
}

const QImage& TBitmap::Image() const { return *image_; }

}  // namespace vx
