#pragma once

#include <QItemSelection>
#include <QList>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <memory>

#include "ui/cregisterpanel.h"

class CAddNewDeviceForm;
class CEditDeviceForm;
class CGateway;
class CRecordModel;
class CSearchEditWidget;
class CTrendWindow;
class QLabel;
class QListView;
class QPushButton;
class QTimer;

// Stale device cards are marked within this long of turning stale.
constexpr int STALE_REPAINT_MS = 1000;

// The window's device list: the stored devices as cards, a search, add, edit, delete, the
// selected device's trend and the register map export, and whether decoded values are saved.
class CDeviceListPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CDeviceListPanel(CGateway *_gateway, QWidget *_parent = nullptr);
    ~CDeviceListPanel() override;

    CAddNewDeviceForm *addForm() const { return addDeviceForm.get(); }
    CEditDeviceForm *editForm() const { return editDeviceForm.get(); }

signals:
    void deviceSelected(const SShownDevice &_device);
    void noDeviceSelected();

public slots:
    void refreshDevices(QString _search = QString());
    void showStoreStatus(bool _saving, QString _reason);

private:
    void selectionChanged();
    void editDevice();
    void deleteDevice();
    // Opens the selected device's trend, or raises the one open.
    void openTrend();
    // The open trends of the device draw again.
    void refreshTrends(const QString &_devEui);
    // Writes every device's register map as CSV, or Markdown for a name ending in .md.
    void exportRegisterMap();
    void showNoDevice();
    // Column of the list's current row; invalid without one.
    QVariant currentDevice(int _column) const;

    CGateway *gateway;
    // Top-level windows of their own, as every dialog of the program.
    std::unique_ptr<CAddNewDeviceForm> addDeviceForm;
    std::unique_ptr<CEditDeviceForm> editDeviceForm;
    CSearchEditWidget *searchEdit;
    QListView *deviceView;
    CRecordModel *deviceModel;
    QPushButton *addButton;
    QPushButton *editButton;
    QPushButton *deleteButton;
    QPushButton *trendButton;
    // The trend windows open, each drawn again as its device's uplinks arrive.
    QList<QPointer<CTrendWindow>> trends;
    QPushButton *exportMapButton;
    // Repaints the device cards so a device turning stale is marked without an uplink.
    QTimer *staleRepaintTimer;
    // Shown only while decoded values cannot be saved.
    QLabel *storeStatusLabel;
};
