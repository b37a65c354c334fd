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

// The tiles' colours, by role.
constexpr QRgb kWaiting = 0xd9dde3;
constexpr QRgb kWriting = 0x1f5fbf;
constexpr QRgb kRestarting = 0xf2b705;
constexpr QRgb kPass = 0x1e8e3e;
constexpr QRgb kFail = 0xc5221f;
constexpr QRgb kCurrent = 0x0b7a75;
constexpr QRgb kCheck = 0xe8710a;
constexpr QRgb kUnavailable = 0x303336;
constexpr QRgb kAbsent = 0x9aa0a6;
constexpr QRgb kDarkText = 0x202124;

// A font whose letters fill the line's height and whose text fits its width.
QFont fitted(const QFont &base, const QString &text, QSize line, bool bold)
{
    QFont font = base;
    font.setBold(bold);
    font.setPixelSize(std::max(kMinPixelSize, static_cast<int>(line.height() * kTextShare)));
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > line.width() && advance > 0)
        font.setPixelSize(std::max(kMinPixelSize, font.pixelSize() * line.width() / advance));
    return font;
}

// A font for `text` in lines of the line's size, wrapped at its width, that needs no
// more than `lines` of them.
QFont wrapped(const QFont &base, const QString &text, QSize line, int lines)
{
    QFont font = base;
    font.setPixelSize(std::max(kMinPixelSize, static_cast<int>(line.height() * kTextShare)));
    const QRect room(0, 0, line.width(), line.height() * lines * 2);
    while (font.pixelSize() > kMinPixelSize
           && QFontMetrics(font).boundingRect(room, Qt::TextWordWrap, text).height() > line.height() * lines)
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
        return QColor::fromRgb(kWaiting);
    case TileState::Role::Writing:
        return QColor::fromRgb(kWriting);
    case TileState::Role::Restarting:
        return QColor::fromRgb(kRestarting);
    case TileState::Role::Pass:
        return QColor::fromRgb(kPass);
    case TileState::Role::Fail:
        return QColor::fromRgb(kFail);
    case TileState::Role::Current:
        return QColor::fromRgb(kCurrent);
    case TileState::Role::Check:
        return QColor::fromRgb(kCheck);
    case TileState::Role::Unavailable:
        return QColor::fromRgb(kUnavailable);
    case TileState::Role::Absent:
        break;
    }
    return QColor::fromRgb(kAbsent);
}

QColor TileWidget::foreground(TileState::Role role)
{
    switch (role) {
    case TileState::Role::Waiting:
    case TileState::Role::Restarting:
    case TileState::Role::Absent:
        return QColor::fromRgb(kDarkText);
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
            painter.setFont(fitted(font(), text, QSize(width, lineHeight), bold));
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
    painter.setFont(wrapped(font(), m_shown.detail, QSize(width, detailHeight), kDetailLines));
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
