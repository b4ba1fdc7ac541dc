#pragma once

#include <QIcon>
#include <QMap>
#include <QString>
#include <QStringList>

// A server-side value a template may map to registers.
struct SServerKeyword {
    QString keyword;
    int bitSize = 0;
    QString dataType;
};

// Filled once by fillGlobalTables() at start-up, read-only afterwards.
extern QIcon logoIcon;
extern QStringList devicesColumns;
extern QStringList devDataColumns;
extern QMap<QString, SServerKeyword> serverKeywordTable;
extern QStringList loraPacketTypes;

// Registers the metatypes that cross queued connections and fills the tables
// above. Call exactly once, after the application object exists.
void fillGlobalTables();

// Makes the compiled-in resources (style sheet, icons) reachable; safe to call often.
void initKelvaraResources();
