// A slot of the station, painted from its state.

#include "tilewidget.h"

#include <QFont>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace {

// Parts of the tile, as shares of its height; the large word also fits its width.
constexpr double kPadding = 0.05;
constexpr double kTitleHeight = 0.12;
constexpr double kSubtitleHeight = 0.075;
constexpr double kWordHeight = 0.28;
constexpr double kDetailHeight = 0.11;
constexpr double kBarHeight = 0.08;
constexpr double kGap = 0.02;
constexpr int kDetailLines = 2;
constexpr double kTextShare = 0.8; // of a line's height taken by the letters
constexpr int kMinPixelSize = 6;
constexpr int kCornerPx = 6;
constexpr int kBarTrackAlpha = 90;

// A font whose letters fill `height` pixels and whose text fits `width` pixels.
QFont fitted(const QFont &base, const QString &text, int height, int width, bool bold)
{
    QFont font = base;
    font.setBold(bold);
    font.setPixelSize(std::max(kMinPixelSize, static_cast<int>(height * kTextShare)));
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > width && advance > 0)
        font.setPixelSize(std::max(kMinPixelSize, font.pixelSize() * width / advance));
    return font;
}

// A font for `text` in lines of `lineHeight` pixels, wrapped at `width`, that needs no
// more than `lines` of them.
QFont wrapped(const QFont &base, const QString &text, int lineHeight, int width, int lines)
{
    QFont font = base;
    font.setPixelSize(std::max(kMinPixelSize, static_cast<int>(lineHeight * kTextShare)));
    while (font.pixelSize() > kMinPixelSize
           && QFontMetrics(font).boundingRect(QRect(0, 0, width, lineHeight * lines * 2), Qt::TextWordWrap, text)
                      .height()
                  > lineHeight * lines)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

} // namespace

TileWidget::TileWidget(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_shown = shownOf(m_state);
}

bool TileWidget::Shown::operator==(const Shown &other) const
{
    return title == other.title && subtitle == other.subtitle && word == other.word && detail == other.detail
           && role == other.role && progress == other.progress && done == other.done && total == other.total;
}

TileWidget::Shown TileWidget::shownOf(const TileState &state)
{
    Shown shown;
    shown.title = state.title();
    shown.subtitle = state.subtitle();
    shown.word = state.word();
    shown.detail = state.detail();
    shown.role = state.role();
    shown.progress = state.showsProgress();
    shown.done = state.progress().done;
    shown.total = state.progress().total;
    return shown;
}

void TileWidget::setState(const TileState &state)
{
    m_state = state;
    const Shown shown = shownOf(state);
    if (shown == m_shown)
        return;
    m_shown = shown;
    update();
}

QColor TileWidget::background(TileState::Role role)
{
    switch (role) {
    case TileState::Role::Waiting:
        return {0xd9, 0xdd, 0xe3};
    case TileState::Role::Writing:
        return {0x1f, 0x5f, 0xbf};
    case TileState::Role::Restarting:
        return {0xf2, 0xb7, 0x05};
    case TileState::Role::Pass:
        return {0x1e, 0x8e, 0x3e};
    case TileState::Role::Fail:
        return {0xc5, 0x22, 0x1f};
    case TileState::Role::Current:
        return {0x0b, 0x7a, 0x75};
    case TileState::Role::Check:
        return {0xe8, 0x71, 0x0a};
    case TileState::Role::Unavailable:
        return {0x30, 0x33, 0x36};
    case TileState::Role::Absent:
        break;
    }
    return {0x9a, 0xa0, 0xa6};
}

QColor TileWidget::foreground(TileState::Role role)
{
    switch (role) {
    case TileState::Role::Waiting:
    case TileState::Role::Restarting:
    case TileState::Role::Absent:
        return {0x20, 0x21, 0x24};
    default:
        break;
    }
    return Qt::white;
}

void TileWidget::paintEvent(QPaintEvent * /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), palette().window());
    const QColor back = background(m_shown.role);
    const QColor fore = foreground(m_shown.role);
    painter.setPen(Qt::NoPen);
    painter.setBrush(back);
    painter.drawRoundedRect(rect(), kCornerPx, kCornerPx);

    const int h = height();
    const int pad = static_cast<int>(h * kPadding);
    const int width = this->width() - 2 * pad;
    int y = pad;
    auto line = [&](const QString &text, double share, bool bold, Qt::Alignment align) {
        const int lineHeight = static_cast<int>(h * share);
        if (!text.isEmpty()) {
            painter.setFont(fitted(font(), text, lineHeight, width, bold));
            painter.drawText(QRect(pad, y, width, lineHeight), static_cast<int>(align | Qt::AlignVCenter), text);
        }
        y += lineHeight;
    };

    painter.setPen(fore);
    line(m_shown.title, kTitleHeight, true, Qt::AlignLeft);
    line(m_shown.subtitle, kSubtitleHeight, false, Qt::AlignLeft);
    y += static_cast<int>(h * kGap);
    line(m_shown.word, kWordHeight, true, Qt::AlignHCenter);
    y += static_cast<int>(h * kGap);
    const int detailHeight = static_cast<int>(h * kDetailHeight);
    painter.setFont(wrapped(font(), m_shown.detail, detailHeight, width, kDetailLines));
    painter.drawText(QRect(pad, y, width, detailHeight * kDetailLines),
                     static_cast<int>(Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap), m_shown.detail);
    y += detailHeight * kDetailLines;
    if (m_shown.progress && m_shown.total > 0) {
        y += static_cast<int>(h * kGap);
        const QRect track(pad, y, width, static_cast<int>(h * kBarHeight));
        QColor trackColour = fore;
        trackColour.setAlpha(kBarTrackAlpha);
        painter.setPen(Qt::NoPen);
        painter.setBrush(trackColour);
        painter.drawRect(track);
        painter.setBrush(fore);
        painter.drawRect(QRect(track.topLeft(), QSize(track.width() * m_shown.done / m_shown.total, track.height())));
    }
}
