// qrb-updater: the composition root. No options of its own; the arguments go
// to QApplication (e.g. -platform, -display).

#include "AppController.h"
#include "DeviceSource.h"
#include "QtApplicationFramework.h"
#include "ResourceLocation.h"

#if QRB_HAVE_UDEV_DEVICE_SOURCE
#include "UdevDeviceSource.h"
#endif

#include <QApplication>

#include <memory>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qrb-updater"));
    QApplication::setDesktopFileName(QStringLiteral("qrb-updater"));

#if QRB_HAVE_UDEV_DEVICE_SOURCE
    setDefaultDeviceSource(std::make_shared<UdevDeviceSource>());
#endif

    // Log lines go to the system log and standard error (common/Log.h).
    QtApplicationFramework framework(
        resourceDirectoryFor(currentExecutable(), QRB_BUILD_OUTPUT_DIR, QRB_SOURCE_RESOURCE_DIR)
            .string());
    const std::shared_ptr<AppController> controller = AppController::create(framework);
    framework.setShouldTerminateAfterLastWindowClosed(
        [&controller] { return controller->applicationShouldTerminateAfterLastWindowClosed(); });
    framework.setWillTerminate([&controller] { controller->applicationWillTerminate(); });
    return framework.run([&controller] { controller->awakeFromNib(); });
}
