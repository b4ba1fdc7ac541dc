#pragma once

#include <QColor>
#include <QIcon>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The 88 palette entries in declaration order, with their placeholder names.
const QList<QPair<QString, QColor>> &paletteEntries();

// Placeholder names in replacement order: every name before any shorter name it contains.
const QStringList &placeholderReplacementOrder();

// Replaces every palette placeholder in a style sheet by its colour (#rrggbb).
QString replaceColorPlaceholders(QString styleSheet);

// The compiled-in style sheet with its placeholders replaced; empty if the resource is missing.
QString loadThemeStyleSheet();

// The logo, loaded by loadThemeIcons().
extern QIcon logoIcon;

// Makes the compiled-in resources (style sheet, icons) reachable; safe to call often.
void initKelvaraResources();

// Loads the pictures the window draws; needs a GUI application.
void loadThemeIcons();
