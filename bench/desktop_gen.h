// A desktop screenshot drawn with QPainter, for the PNG writer's benchmark:
// real anti-aliased text (menu bar, a code editor with a file list, a page of
// prose, a terminal), gradients, window shadows, a dock, and one photo in a
// gallery window: a smooth surface with independent noise of ±2 in each
// channel, as a camera picture shown at screen size has. Deterministic for a
// given seed and set of fonts. Needs a QGuiApplication (offscreen is enough).
#pragma once

#include "screenshot_gen.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>

namespace bench {

// `photo_share`: the photo's part of the gallery window's height (0 to 0.9).
// At least 800 × 480 pixels.
inline Picture make_desktop(std::uint32_t w, std::uint32_t h, double photo_share, unsigned seed)
{
    Picture pic = detail::blank_picture(w, h, " desktop, drawn text");
    w = pic.width;
    h = pic.height;
    // Opaque RGB32 is B, G, R, 255 in memory: the capture's own format.
    QImage img(pic.bgra.data(), int(w), int(h), int(w) * 4, QImage::Format_RGB32);
    std::mt19937 rng(seed);
    const double s = std::max(1.0, w / 1920.0);
    const auto S = [&](double v) { return int(std::lround(v * s)); };
    static const char* const words[] = { "la", "captura", "de", "pantalla", "se", "guarda", "en", "el", "escritorio", "con",
        "nombre", "fecha", "hora", "ventana", "grabación", "vídeo", "imagen", "recorte", "ajustes", "atajo", "teclado",
        "portapapeles", "archivo", "carpeta", "formato", "calidad", "texto", "código", "función", "valor", "return", "int",
        "auto", "const", "std::vector", "if", "else", "for", "while" };
    const auto word = [&] { return QString::fromUtf8(words[rng() % std::size(words)]); };
    const auto sentence = [&](int n) {
        QString t;
        for (int i = 0; i < n; ++i)
            t += word() + ' ';
        return t;
    };

    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient wall(0, 0, w, h);
    wall.setColorAt(0, QColor(38, 70, 130));
    wall.setColorAt(1, QColor(110, 60, 140));
    p.fillRect(0, 0, int(w), int(h), wall);
    QFont ui("Inter");
    ui.setPixelSize(S(13));
    QFont mono("DejaVu Sans Mono");
    mono.setPixelSize(S(13));

    p.fillRect(0, 0, int(w), S(28), QColor(236, 236, 236));
    p.setFont(ui);
    p.setPen(QColor(30, 30, 30));
    p.drawText(S(12), S(19), QStringLiteral("Archivo   Editar   Ver   Ventana   Ayuda"));

    // A window with a shadow and a title bar; returns its content area.
    const auto window = [&](QRect r, const QString& title) {
        p.fillRect(r.adjusted(S(4), S(6), S(8), S(10)), QColor(0, 0, 0, 40));
        p.fillRect(r, QColor(250, 250, 250));
        QLinearGradient bar(r.topLeft(), r.topLeft() + QPoint(0, S(34)));
        bar.setColorAt(0, QColor(232, 232, 232));
        bar.setColorAt(1, QColor(212, 212, 212));
        p.fillRect(QRect(r.left(), r.top(), r.width(), S(34)), bar);
        p.setPen(QColor(60, 60, 60));
        p.setFont(ui);
        p.drawText(QRect(r.left(), r.top(), r.width(), S(34)), Qt::AlignCenter, title);
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 3; ++i) {
            p.setBrush(QColor(i == 0 ? 236 : 200, i == 1 ? 190 : 90, 80));
            p.drawEllipse(QPointF(r.left() + (16 + 20 * i) * s, r.top() + 17 * s), 6 * s, 6 * s);
        }
        return QRect(r.left(), r.top() + S(34), r.width(), r.height() - S(34));
    };

    // The editor: a file list and syntax-coloured code.
    const QRect ed = window(QRect(S(60), S(70), int(w / 2), int(h) - S(140)), QStringLiteral("encode.cpp — Editor"));
    p.fillRect(QRect(ed.left(), ed.top(), S(220), ed.height()), QColor(238, 240, 244));
    p.setFont(ui);
    for (int y = ed.top() + S(22), i = 0; y < ed.bottom(); y += S(24), ++i) {
        if (i == 5)
            p.fillRect(QRect(ed.left(), y - S(16), S(220), S(24)), QColor(200, 215, 240));
        p.setPen(QColor(50, 50, 60));
        p.drawText(ed.left() + S(16), y, sentence(1 + int(rng() % 2)).trimmed() + QStringLiteral(".cpp"));
    }
    p.setFont(mono);
    const QColor syntax[] = { QColor(30, 30, 30), QColor(0, 90, 180), QColor(160, 30, 120), QColor(30, 130, 60) };
    for (int y = ed.top() + S(20), line = 1; y < ed.bottom(); y += S(18), ++line) {
        p.setPen(QColor(150, 150, 150));
        p.drawText(ed.left() + S(230), y, QString::number(line).rightJustified(4));
        int x = ed.left() + S(280) + int(rng() % 4) * S(32);
        for (int k = 0, n = 1 + int(rng() % 9); k < n && x < ed.right() - S(40); ++k) {
            const QString t = word();
            p.setPen(syntax[rng() % std::size(syntax)]);
            p.drawText(x, y, t);
            x += p.fontMetrics().horizontalAdvance(t + ' ');
        }
    }

    // The gallery: the photo over a page of prose.
    const QRect gal = window(QRect(int(w / 2) + S(100), S(110), int(w / 2) - S(140), int(h * 0.62)), QStringLiteral("Galería"));
    QImage photo(gal.width() - S(32), std::max(1, int(gal.height() * std::clamp(photo_share, 0.0, 0.9))), QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x) {
            const double u = x / (120.0 * s), v = y / (120.0 * s);
            const double base = 0.5 + 0.25 * std::sin(u * 1.7 + std::cos(v * 0.9)) + 0.2 * std::sin(v * 2.3 - u * 0.4);
            const auto ch = [&](double k, double off) {
                return std::clamp(int(255 * (base * k + off)) + int(rng() % 5) - 2, 0, 255);
            };
            row[x] = qRgb(ch(0.9, 0.1), ch(0.7, 0.15), ch(0.5, 0.05));
        }
    }
    p.drawImage(gal.left() + S(16), gal.top() + S(16), photo);
    p.setFont(ui);
    p.setPen(QColor(40, 40, 40));
    for (int y = gal.top() + photo.height() + S(50); y < gal.bottom() - S(10); y += S(20))
        p.drawText(gal.left() + S(16), y, sentence(6 + int(rng() % 6)));

    // A terminal below it.
    const QRect term = window(QRect(int(w / 2) + S(140), int(h * 0.62) + S(150), int(w / 2) - S(200), int(h * 0.38) - S(230)),
        QStringLiteral("Terminal"));
    p.fillRect(term, QColor(30, 30, 36));
    p.setFont(mono);
    for (int y = term.top() + S(18); y < term.bottom(); y += S(17)) {
        p.setPen(QColor(80, 220, 120));
        p.drawText(term.left() + S(10), y, QStringLiteral("$ "));
        p.setPen(QColor(220, 220, 220));
        p.drawText(term.left() + S(28), y, sentence(3 + int(rng() % 5)));
    }

    // The dock.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 12; ++i) {
        const int x = int(w / 2) - S(6 * 56) + S(56 * i);
        QLinearGradient g(x, h - S(52), x, h - S(4));
        g.setColorAt(0, QColor::fromHsv(int(rng() % 360), 160, 240));
        g.setColorAt(1, QColor::fromHsv(int(rng() % 360), 200, 160));
        p.setBrush(g);
        p.drawRoundedRect(QRectF(x, h - S(52), S(48), S(48)), S(10), S(10));
    }
    p.end();
    return pic;
}

} // namespace bench
