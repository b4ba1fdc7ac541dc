#pragma once

#include <memory>

class MainWindow;
class QThread;

// Brings the services up once the settings and the log exist: server link, register
// store on a thread of its own, device registry with its templates, the two device
// dialogs, their connections and the main window. Tears the store thread down again.
class CGatewayStartup
{
public:
    CGatewayStartup();
    // Stops and joins the store's thread.
    ~CGatewayStartup();
    CGatewayStartup(const CGatewayStartup &) = delete;
    CGatewayStartup &operator=(const CGatewayStartup &) = delete;

    // False, after telling the operator, the log and stderr, when the register store cannot be opened.
    bool start();
    MainWindow *window() const { return mainWindow.get(); }

private:
    QThread *storeThread = nullptr;
    std::unique_ptr<MainWindow> mainWindow;
};
