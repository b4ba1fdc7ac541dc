#pragma once

#include <QString>

// A template's colour text ("#rgb", "#rrggbb", "#aarrggbb", "#rrrgggbbb", "#rrrrggggbbbb" or an
// SVG colour name, any letter case) as "#rrggbb" ("#aarrggbb" with alpha); empty when not a colour.
// Kept apart from the window's colour class so the core needs no GUI library.
QString templateColorName(const QString &_text);
