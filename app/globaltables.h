#pragma once

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
extern QStringList devicesColumns;
extern QStringList devDataColumns;
extern QMap<QString, SServerKeyword> serverKeywordTable;
extern QStringList loraPacketTypes;

// Fills the tables above. Call exactly once, at start.
void fillGlobalTables();
