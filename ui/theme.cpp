#include "ui/theme.h"

#include <QFile>
#include <QHash>

#include "ui/palette.h"

const QList<QPair<QString, QColor>> &paletteEntries()
{
    static const QList<QPair<QString, QColor>> entries = {
    {QStringLiteral("QC_GLOB_BLACK6C_80"), QC_GLOB_BLACK6C_80},
    {QStringLiteral("QC_GLOB_BLACK6C_65"), QC_GLOB_BLACK6C_65},
    {QStringLiteral("QC_GLOB_BLACK6C_45"), QC_GLOB_BLACK6C_45},
    {QStringLiteral("QC_GLOB_BLACK6C_28"), QC_GLOB_BLACK6C_28},
    {QStringLiteral("QC_GLOB_BLACK6C_25"), QC_GLOB_BLACK6C_25},
    {QStringLiteral("QC_GLOB_BLACK6C_13"), QC_GLOB_BLACK6C_13},
    {QStringLiteral("QC_GLOB_BLACK6C_10"), QC_GLOB_BLACK6C_10},
    {QStringLiteral("QC_GLOB_WHITE1_D2"), QC_GLOB_WHITE1_D2},
    {QStringLiteral("QC_GLOB_WHITE1_D1"), QC_GLOB_WHITE1_D1},
    {QStringLiteral("QC_GLOB_WHITE1"), QC_GLOB_WHITE1},
    {QStringLiteral("QC_GLOB_WHITE1_L1"), QC_GLOB_WHITE1_L1},
    {QStringLiteral("QC_GLOB_WHITE1_L2"), QC_GLOB_WHITE1_L2},
    {QStringLiteral("QC_GLOB_BLACK1_D2"), QC_GLOB_BLACK1_D2},
    {QStringLiteral("QC_GLOB_BLACK1_D1"), QC_GLOB_BLACK1_D1},
    {QStringLiteral("QC_GLOB_BLACK1"), QC_GLOB_BLACK1},
    {QStringLiteral("QC_GLOB_BLACK1_L0"), QC_GLOB_BLACK1_L0},
    {QStringLiteral("QC_GLOB_BLACK1_L1"), QC_GLOB_BLACK1_L1},
    {QStringLiteral("QC_GLOB_BLACK1_L2"), QC_GLOB_BLACK1_L2},
    {QStringLiteral("QC_GLOB_BLACK1_E1B"), QC_GLOB_BLACK1_E1B},
    {QStringLiteral("QC_GLOB_BLACK1_E2G"), QC_GLOB_BLACK1_E2G},
    {QStringLiteral("QC_GLOB_RED1_D2"), QC_GLOB_RED1_D2},
    {QStringLiteral("QC_GLOB_RED1_D1"), QC_GLOB_RED1_D1},
    {QStringLiteral("QC_GLOB_RED1"), QC_GLOB_RED1},
    {QStringLiteral("QC_GLOB_RED1_L1"), QC_GLOB_RED1_L1},
    {QStringLiteral("QC_GLOB_RED1_L2"), QC_GLOB_RED1_L2},
    {QStringLiteral("QC_GLOB_GREEN1_D2"), QC_GLOB_GREEN1_D2},
    {QStringLiteral("QC_GLOB_GREEN1_D1"), QC_GLOB_GREEN1_D1},
    {QStringLiteral("QC_GLOB_GREEN1"), QC_GLOB_GREEN1},
    {QStringLiteral("QC_GLOB_GREEN1_L1"), QC_GLOB_GREEN1_L1},
    {QStringLiteral("QC_GLOB_GREEN1_L2"), QC_GLOB_GREEN1_L2},
    {QStringLiteral("QC_GLOB_GREEN2_D2"), QC_GLOB_GREEN2_D2},
    {QStringLiteral("QC_GLOB_GREEN2_D1"), QC_GLOB_GREEN2_D1},
    {QStringLiteral("QC_GLOB_GREEN2"), QC_GLOB_GREEN2},
    {QStringLiteral("QC_GLOB_GREEN2_L1"), QC_GLOB_GREEN2_L1},
    {QStringLiteral("QC_GLOB_GREEN2_L2"), QC_GLOB_GREEN2_L2},
    {QStringLiteral("QC_GLOB_GREEN2_L3"), QC_GLOB_GREEN2_L3},
    {QStringLiteral("QC_GLOB_BLUE1_D2"), QC_GLOB_BLUE1_D2},
    {QStringLiteral("QC_GLOB_BLUE1_D1"), QC_GLOB_BLUE1_D1},
    {QStringLiteral("QC_GLOB_BLUE1"), QC_GLOB_BLUE1},
    {QStringLiteral("QC_GLOB_BLUE1_L1"), QC_GLOB_BLUE1_L1},
    {QStringLiteral("QC_GLOB_BLUE1_L2"), QC_GLOB_BLUE1_L2},
    {QStringLiteral("QC_GLOB_BLUE1_L3"), QC_GLOB_BLUE1_L3},
    {QStringLiteral("QC_GLOB_ORANGE1_D2"), QC_GLOB_ORANGE1_D2},
    {QStringLiteral("QC_GLOB_ORANGE1_D1"), QC_GLOB_ORANGE1_D1},
    {QStringLiteral("QC_GLOB_ORANGE1"), QC_GLOB_ORANGE1},
    {QStringLiteral("QC_GLOB_ORANGE1_L1"), QC_GLOB_ORANGE1_L1},
    {QStringLiteral("QC_GLOB_ORANGE1_L2"), QC_GLOB_ORANGE1_L2},
    {QStringLiteral("QC_GLOB_ORANGE1_L3"), QC_GLOB_ORANGE1_L3},
    {QStringLiteral("QC_GLOB_PINK1_D2"), QC_GLOB_PINK1_D2},
    {QStringLiteral("QC_GLOB_PINK1_D1"), QC_GLOB_PINK1_D1},
    {QStringLiteral("QC_GLOB_PINK1"), QC_GLOB_PINK1},
    {QStringLiteral("QC_GLOB_PINK1_L1"), QC_GLOB_PINK1_L1},
    {QStringLiteral("QC_GLOB_PINK1_L2"), QC_GLOB_PINK1_L2},
    {QStringLiteral("QC_GLOB_LILAC1_D2"), QC_GLOB_LILAC1_D2},
    {QStringLiteral("QC_GLOB_LILAC1_D1"), QC_GLOB_LILAC1_D1},
    {QStringLiteral("QC_GLOB_LILAC1"), QC_GLOB_LILAC1},
    {QStringLiteral("QC_GLOB_LILAC1_L1"), QC_GLOB_LILAC1_L1},
    {QStringLiteral("QC_GLOB_LILAC1_L2"), QC_GLOB_LILAC1_L2},
    {QStringLiteral("QC_GLOB_YELLOW1_D2"), QC_GLOB_YELLOW1_D2},
    {QStringLiteral("QC_GLOB_YELLOW1_D1"), QC_GLOB_YELLOW1_D1},
    {QStringLiteral("QC_GLOB_YELLOW1"), QC_GLOB_YELLOW1},
    {QStringLiteral("QC_GLOB_YELLOW1_L1"), QC_GLOB_YELLOW1_L1},
    {QStringLiteral("QC_GLOB_YELLOW1_L2"), QC_GLOB_YELLOW1_L2},
    {QStringLiteral("QC_GLOB_LOGO1_D2"), QC_GLOB_LOGO1_D2},
    {QStringLiteral("QC_GLOB_LOGO1_D1"), QC_GLOB_LOGO1_D1},
    {QStringLiteral("QC_GLOB_LOGO1"), QC_GLOB_LOGO1},
    {QStringLiteral("QC_GLOB_LOGO1_L1"), QC_GLOB_LOGO1_L1},
    {QStringLiteral("QC_GLOB_LOGO1_L2"), QC_GLOB_LOGO1_L2},
    {QStringLiteral("QC_GRAPH_BACK_GR2"), QC_GRAPH_BACK_GR2},
    {QStringLiteral("QC_GRAPH_BACK"), QC_GRAPH_BACK},
    {QStringLiteral("QC_GRAPH_AXIS"), QC_GRAPH_AXIS},
    {QStringLiteral("QC_GRAPH_GRID"), QC_GRAPH_GRID},
    {QStringLiteral("QC_STAT_TOTAL"), QC_STAT_TOTAL},
    {QStringLiteral("QC_STAT_VALID"), QC_STAT_VALID},
    {QStringLiteral("QC_STAT_INVALID"), QC_STAT_INVALID},
    {QStringLiteral("QC_STAT_BUSY"), QC_STAT_BUSY},
    {QStringLiteral("QCT_GLOB_BLUE1_D2"), QCT_GLOB_BLUE1_D2},
    {QStringLiteral("QCT_GLOB_BLUE1_D1"), QCT_GLOB_BLUE1_D1},
    {QStringLiteral("QCT_GLOB_BLUE1"), QCT_GLOB_BLUE1},
    {QStringLiteral("QCT_GLOB_BLUE1_L1"), QCT_GLOB_BLUE1_L1},
    {QStringLiteral("QCT_GLOB_BLUE1_L2"), QCT_GLOB_BLUE1_L2},
    {QStringLiteral("QCT_GLOB_BLUE1_L3"), QCT_GLOB_BLUE1_L3},
    {QStringLiteral("QCT_GLOB_BLUE1_L4"), QCT_GLOB_BLUE1_L4},
    {QStringLiteral("QCT_GLOB_BLUE1_LIKE_D2"), QCT_GLOB_BLUE1_LIKE_D2},
    {QStringLiteral("QCT_GLOB_BLUE1_LIKE_D1"), QCT_GLOB_BLUE1_LIKE_D1},
    {QStringLiteral("QCT_GLOB_BLUE1_LIKE"), QCT_GLOB_BLUE1_LIKE},
    {QStringLiteral("QCT_GLOB_BLUE1_LIKE_L1"), QCT_GLOB_BLUE1_LIKE_L1},
    {QStringLiteral("QCT_GLOB_BLUE1_LIKE_L2"), QCT_GLOB_BLUE1_LIKE_L2},
    };
    return entries;
}

const QStringList &placeholderReplacementOrder()
{
    static const QStringList order = {
    QStringLiteral("QC_GLOB_BLACK6C_80"),
    QStringLiteral("QC_GLOB_BLACK6C_65"),
    QStringLiteral("QC_GLOB_BLACK6C_45"),
    QStringLiteral("QC_GLOB_BLACK6C_28"),
    QStringLiteral("QC_GLOB_BLACK6C_25"),
    QStringLiteral("QC_GLOB_BLACK6C_13"),
    QStringLiteral("QC_GLOB_BLACK6C_10"),
    QStringLiteral("QC_GLOB_WHITE1_D1"),
    QStringLiteral("QC_GLOB_WHITE1_D2"),
    QStringLiteral("QC_GLOB_WHITE1_L1"),
    QStringLiteral("QC_GLOB_WHITE1_L2"),
    QStringLiteral("QC_GLOB_WHITE1"),
    QStringLiteral("QC_GLOB_BLACK1_D2"),
    QStringLiteral("QC_GLOB_BLACK1_D1"),
    QStringLiteral("QC_GLOB_BLACK1_L0"),
    QStringLiteral("QC_GLOB_BLACK1_L1"),
    QStringLiteral("QC_GLOB_BLACK1_L2"),
    QStringLiteral("QC_GLOB_BLACK1_E1B"),
    QStringLiteral("QC_GLOB_BLACK1_E2G"),
    QStringLiteral("QC_GLOB_BLACK1"),
    QStringLiteral("QC_GLOB_RED1_D2"),
    QStringLiteral("QC_GLOB_RED1_D1"),
    QStringLiteral("QC_GLOB_RED1_L1"),
    QStringLiteral("QC_GLOB_RED1_L2"),
    QStringLiteral("QC_GLOB_RED1"),
    QStringLiteral("QC_GLOB_GREEN1_D2"),
    QStringLiteral("QC_GLOB_GREEN1_D1"),
    QStringLiteral("QC_GLOB_GREEN1_L1"),
    QStringLiteral("QC_GLOB_GREEN1_L2"),
    QStringLiteral("QC_GLOB_GREEN1"),
    QStringLiteral("QC_GLOB_GREEN2_D2"),
    QStringLiteral("QC_GLOB_GREEN2_D1"),
    QStringLiteral("QC_GLOB_GREEN2_L1"),
    QStringLiteral("QC_GLOB_GREEN2_L2"),
    QStringLiteral("QC_GLOB_GREEN2_L3"),
    QStringLiteral("QC_GLOB_GREEN2"),
    QStringLiteral("QC_GLOB_BLUE1_D2"),
    QStringLiteral("QC_GLOB_BLUE1_D1"),
    QStringLiteral("QC_GLOB_BLUE1_L1"),
    QStringLiteral("QC_GLOB_BLUE1_L2"),
    QStringLiteral("QC_GLOB_BLUE1_L3"),
    QStringLiteral("QC_GLOB_BLUE1"),
    QStringLiteral("QC_GLOB_ORANGE1_D2"),
    QStringLiteral("QC_GLOB_ORANGE1_D1"),
    QStringLiteral("QC_GLOB_ORANGE1_L1"),
    QStringLiteral("QC_GLOB_ORANGE1_L2"),
    QStringLiteral("QC_GLOB_ORANGE1_L3"),
    QStringLiteral("QC_GLOB_ORANGE1"),
    QStringLiteral("QC_GLOB_PINK1_L1"),
    QStringLiteral("QC_GLOB_PINK1_L2"),
    QStringLiteral("QC_GLOB_PINK1_D1"),
    QStringLiteral("QC_GLOB_PINK1_D2"),
    QStringLiteral("QC_GLOB_PINK1"),
    QStringLiteral("QC_GLOB_LILAC1_L1"),
    QStringLiteral("QC_GLOB_LILAC1_L2"),
    QStringLiteral("QC_GLOB_LILAC1_D1"),
    QStringLiteral("QC_GLOB_LILAC1_D2"),
    QStringLiteral("QC_GLOB_LILAC1"),
    QStringLiteral("QC_GLOB_YELLOW1_L1"),
    QStringLiteral("QC_GLOB_YELLOW1_L2"),
    QStringLiteral("QC_GLOB_YELLOW1_D1"),
    QStringLiteral("QC_GLOB_YELLOW1_D2"),
    QStringLiteral("QC_GLOB_YELLOW1"),
    QStringLiteral("QC_GLOB_LOGO1_D2"),
    QStringLiteral("QC_GLOB_LOGO1_D1"),
    QStringLiteral("QC_GLOB_LOGO1_L1"),
    QStringLiteral("QC_GLOB_LOGO1_L2"),
    QStringLiteral("QC_GLOB_LOGO1"),
    QStringLiteral("QC_GRAPH_BACK_GR2"),
    QStringLiteral("QC_GRAPH_BACK"),
    QStringLiteral("QC_GRAPH_AXIS"),
    QStringLiteral("QC_GRAPH_GRID"),
    QStringLiteral("QC_STAT_TOTAL"),
    QStringLiteral("QC_STAT_VALID"),
    QStringLiteral("QC_STAT_INVALID"),
    QStringLiteral("QC_STAT_BUSY"),
    QStringLiteral("QCT_GLOB_BLUE1_LIKE_D2"),
    QStringLiteral("QCT_GLOB_BLUE1_LIKE_D1"),
    QStringLiteral("QCT_GLOB_BLUE1_LIKE_L2"),
    QStringLiteral("QCT_GLOB_BLUE1_LIKE_L1"),
    QStringLiteral("QCT_GLOB_BLUE1_LIKE"),
    QStringLiteral("QCT_GLOB_BLUE1_D1"),
    QStringLiteral("QCT_GLOB_BLUE1_D2"),
    QStringLiteral("QCT_GLOB_BLUE1_L1"),
    QStringLiteral("QCT_GLOB_BLUE1_L2"),
    QStringLiteral("QCT_GLOB_BLUE1_L3"),
    QStringLiteral("QCT_GLOB_BLUE1_L4"),
    QStringLiteral("QCT_GLOB_BLUE1"),
    };
    return order;
}

QString replaceColorPlaceholders(QString styleSheet)
{
    QHash<QString, QColor> colourByName;
    for (const auto &entry : paletteEntries())
        colourByName.insert(entry.first, entry.second);
    for (const QString &name : placeholderReplacementOrder())
        styleSheet.replace(name, colourByName.value(name).name(), Qt::CaseSensitive);
    return styleSheet;
}

QString loadThemeStyleSheet()
{
    initKelvaraResources();
    QFile file(QStringLiteral("://style/style.qss"));
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    file.close();
    // Latin-1 up to the first zero byte.
    return replaceColorPlaceholders(QString::fromLatin1(bytes.constData()));
}

QIcon logoIcon;

// Q_INIT_RESOURCE must be used outside any namespace; the resources live in a
// static library, so nothing registers them unless someone asks.
static void initResourcesOnce()
{
    static bool done = false;
    if (!done) {
        Q_INIT_RESOURCE(resources);
        done = true;
    }
}

void initKelvaraResources()
{
    initResourcesOnce();
}

void loadThemeIcons()
{
    initResourcesOnce();
    logoIcon = QIcon(QStringLiteral(":/korv-a_logo5_gradient.png"));
}
