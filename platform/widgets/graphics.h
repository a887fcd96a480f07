#pragma once
// Colours, fonts, pens, brushes and the canvas the controls paint with, over QPainter. Colours
// are 0x00BBGGRR values; the system colours are 0x80000000 + an index and resolve through the
// application palette. Text handed to the canvas is ANSI bytes, converted to Unicode here.

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dataset/component.h"

class QColor;
class QFont;
class QImage;
class QPainter;
class QRect;

namespace vx {

using TColor = std::int32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clMaroon = 0x000080;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clOlive = 0x008080;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clPurple = 0x800080;
inline constexpr TColor clTeal = 0x808000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clFuchsia = 0xFF00FF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNone = 0x1FFFFFFF;

// System colours (COLOR_xxx indexes).
inline constexpr TColor clScrollBar = static_cast<TColor>(0x80000000);
inline constexpr TColor clBackground = static_cast<TColor>(0x80000001);
inline constexpr TColor clActiveCaption = static_cast<TColor>(0x80000002);
inline constexpr TColor clWindow = static_cast<TColor>(0x80000005);
inline constexpr TColor clWindowFrame = static_cast<TColor>(0x80000006);
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008);
inline constexpr TColor clCaptionText = static_cast<TColor>(0x80000009);
inline constexpr TColor clHighlight = static_cast<TColor>(0x8000000D);
inline constexpr TColor clHighlightText = static_cast<TColor>(0x8000000E);
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);
inline constexpr TColor clBtnShadow = static_cast<TColor>(0x80000010);
inline constexpr TColor clGrayText = static_cast<TColor>(0x80000011);
inline constexpr TColor clBtnText = static_cast<TColor>(0x80000012);
inline constexpr TColor clBtnHighlight = static_cast<TColor>(0x80000014);
inline constexpr TColor cl3DDkShadow = static_cast<TColor>(0x80000015);
inline constexpr TColor cl3DLight = static_cast<TColor>(0x80000016);
inline constexpr TColor clInfoBk = static_cast<TColor>(0x80000018);

// The RGB value of a colour (system colours resolved), as 0x00BBGGRR.
TColor ColorToRGB(TColor color);
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);
// "clRed" and the other names, or a decimal / $hex number; answers false for anything else.
bool IdentToColor(const std::string& text, TColor& color);
std::string ColorToString(TColor color);

enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = TSet<TFontStyle>;

// A font by name, height in pixels (negative: character height without the internal leading,
// as the toolkit's forms store it) or size in points, colour and styles. Screen resolution is
// taken as 96 pixels per inch, so height -11 is size 8.
class TFont {
 public:
  std::string Name = "MS Sans Serif";
  TColor Color = clWindowText;
  TFontStyles Style;

  int Height() const { return height_; }
  void SetHeight(int value) { height_ = value; }
  int Size() const;
  void SetSize(int points);
  void Assign(const TFont& other) { *this = other; }
  bool operator==(const TFont&) const = default;

  // The Qt font: "MS Sans Serif" and other Windows faces map to a sans-serif face present here.
  QFont ToQFont() const;

 private:
  int height_ = -11;
};

enum TPenStyle { psSolid, psDash, psDot, psClear };
struct TPen {
  TColor Color = clBlack;
  int Width = 1;
  TPenStyle Style = psSolid;
};

enum TBrushStyle { bsSolid, bsClear };
struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = bsSolid;
};

struct TPoint {
  int X = 0;
  int Y = 0;
};

// Left, top, right and bottom; right and bottom are outside the rectangle, as on Windows.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
  bool operator==(const TRect&) const = default;
};
TRect Rect(int left, int top, int right, int bottom);
QRect ToQRect(const TRect& rect);
void InflateRect(TRect& rect, int dx, int dy);

// Text alignment flags for TextRect (DrawText style).
enum TTextFlag { tfLeft = 0x0, tfCenter = 0x1, tfRight = 0x2, tfVCenter = 0x4, tfRtlReading = 0x8 };

class TBitmap;

// Drawing on a QPainter with the toolkit's pen, brush and font state. The painter is lent by a
// paint event or a bitmap and must outlive the drawing calls; without one every call is a no-op
// (text measuring still works).
class TCanvas {
 public:
  TCanvas();
  ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TPen Pen;
  TBrush Brush;
  TFont Font;

  void Begin(QPainter* painter);
  void End();
  QPainter* Painter() const { return painter_; }
  bool Drawing() const { return painter_ != nullptr; }

  void FillRect(const TRect& rect);
  void FrameRect(const TRect& rect);
  void Rectangle(int left, int top, int right, int bottom);
  void Rectangle(const TRect& rect) { Rectangle(rect.Left, rect.Top, rect.Right, rect.Bottom); }
  void Ellipse(int left, int top, int right, int bottom);
  void Ellipse(const TRect& rect) { Ellipse(rect.Left, rect.Top, rect.Right, rect.Bottom); }
  void MoveTo(int x, int y);
  void LineTo(int x, int y);
  TPoint PenPos() const { return pen_pos_; }
  // Draws `text` clipped to `rect`, starting at (x, y), over the brush unless it is bsClear.
  void TextRect(const TRect& rect, int x, int y, const std::string& text);
  // Draws `text` inside `rect` with TTextFlag alignment, clipped.
  void TextRectAligned(const TRect& rect, const std::string& text, int flags);
  void TextOut(int x, int y, const std::string& text);
  int TextWidth(const std::string& text) const;
  int TextHeight(const std::string& text) const;
  // The colour of one pixel drawn so far (bitmaps only; clNone otherwise).
  TColor Pixel(int x, int y) const;
  // Copies `source`'s pixels from `from` into `to` of this canvas.
  void CopyRect(const TRect& to, const TBitmap& source, const TRect& from);
  // A sunken or raised 3-D edge just inside `rect`.
  void Frame3D(TRect& rect, TColor top_left, TColor bottom_right, int width);

 private:
  void ApplyPen();
  void ApplyBrush();
  void ApplyFont();
  QPainter* painter_ = nullptr;
  TPoint pen_pos_;
};

// An off-screen picture with a canvas of its own.
class TBitmap {
 public:
  TBitmap();
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const;
  int Height() const;
  // Resizes (contents undefined afterwards); ends any drawing in progress.
  void SetSize(int width, int height);
  // The canvas draws into the picture from the first call until SetSize or destruction.
  TCanvas& Canvas();
  const QImage& Image() const;

 private:
  std::unique_ptr<QImage> image_;
  std::unique_ptr<QPainter> painter_;
  TCanvas canvas_;
};

// ANSI bytes to a Qt string and back: in the ANSI page, or in the page SetTextCodePage chose
// (a program that shows one table's text in that table's own page; 0 goes back to ANSI).
QString AnsiToQString(const std::string& ansi);
std::string QStringToAnsi(const QString& text);
// As QStringToAnsi for text that is stored: a character the page lacks is refused, not stored as
// "?" (EDatabaseError: "record 3, field NAME: "ö" has no place in code page 1251"), and so is
// text longer than `field_bytes` in the page: the string field would cut it, in UTF-8 or a
// two-byte page perhaps inside a character.
std::string QStringToStored(const QString& text, const std::string& where,
                            std::size_t field_bytes = static_cast<std::size_t>(-1));
void SetTextCodePage(int page);
int TextCodePage();

// A 3-D frame helper for bevels: raised (light top-left) or lowered.
void DrawBevel(TCanvas& canvas, TRect& rect, bool raised, int width);

}  // namespace vx
