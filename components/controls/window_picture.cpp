#include "components/controls/window_picture.h"

#include <QPainter>
#include <algorithm>
#include <climits>

namespace vx {

namespace {

void DrawFramedForm(QPainter& painter, TForm& form, QPoint origin) {
  const QRect outer(origin, QSize(form.Width(), form.Height()));
  const int frame = form.FrameWidth();
  const int caption = form.CaptionBarHeight();
  painter.fillRect(outer, ToQColor(clBtnFace));
  painter.setPen(ToQColor(cl3DDkShadow));
  painter.drawRect(outer.adjusted(0, 0, -1, -1));
  if (caption > 0) {
    const QRect bar(outer.left() + frame, outer.top() + frame, outer.width() - 2 * frame, caption);
    painter.fillRect(bar, QColor(0x0A, 0x24, 0x6A));
    TFont title_font;
    title_font.Style.Include(fsBold);
    painter.setFont(title_font.ToQFont());
    painter.setPen(Qt::white);
    painter.drawText(bar.adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     AnsiToQString(form.Caption()));
  }
  painter.drawImage(QPoint(outer.left() + frame, outer.top() + frame + caption), form.Render());
}

}  // namespace

QImage PictureOfForms(const std::vector<TForm*>& forms, int margin) {
  int left = INT_MAX;
  int top = INT_MAX;
  int right = INT_MIN;
  int bottom = INT_MIN;
  for (const TForm* form : forms) {
    left = std::min(left, form->Left());
    top = std::min(top, form->Top());
    right = std::max(right, form->Left() + form->Width());
    bottom = std::max(bottom, form->Top() + form->Height());
  }
  if (forms.empty()) return QImage();
  QImage picture(right - left + 2 * margin, bottom - top + 2 * margin, QImage::Format_RGB32);
  picture.fill(QColor(0x3A, 0x6E, 0xA5));
  QPainter painter(&picture);
  for (TForm* form : forms) {
    DrawFramedForm(painter, *form,
                   QPoint(form->Left() - left + margin, form->Top() - top + margin));
  }
  return picture;
}

}  // namespace vx
