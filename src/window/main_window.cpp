#include "window/main_window.h"
#include "window/qr_image_provider.h"

#include "window/diagonal_gradient.h"
#include "window/korean_font.h"
#include "window/window_model.h"

#include <QIcon>
#include <QImageReader>
#include <QQmlApplicationEngine>
#include <QQmlEngine>
#include <QQuickWindow>

namespace kestrio::window {

namespace {

constexpr const char* moduleName = "Kestrio.Window";
constexpr const char* hostProperty = "kestrioWindowHost";

void registerTypes()
{
    static const bool done = [] {
        qmlRegisterType<DiagonalGradient>(moduleName, 1, 0, "DiagonalGradient");
        // Each engine's QML sees the one window model that engine was made for.
        qmlRegisterSingletonType<WindowModel>(moduleName, 1, 0, "Host", [](QQmlEngine* engine, QJSEngine*) -> QObject* {
            auto* host = qobject_cast<WindowModel*>(engine->property(hostProperty).value<QObject*>());
            if (host)
                QJSEngine::setObjectOwnership(host, QJSEngine::CppOwnership);
            return host;
        });
        qmlRegisterSingletonType(QUrl(QStringLiteral("qrc:/kestrio/window/qml/Theme.qml")), moduleName, 1, 0, "Theme");
        return true;
    }();
    (void)done;
}

QIcon applicationIcon()
{
    QIcon icon;
    for (const char* size : {"48", "128", "256"})
        icon.addFile(QStringLiteral(":/kestrio/window/icons/kestrio-%1.png").arg(QLatin1String(size)));
    return icon;
}

}  // namespace

MainWindow::MainWindow(Environment environment)
{
    registerTypes();

    WindowModel::Environment content;
    content.model = std::move(environment.model);
    content.updater = std::move(environment.updater);
    content.mainExecutor = std::move(environment.mainExecutor);
    content.clock = std::move(environment.clock);
    content.version = std::move(environment.version);
    content.koreanFontFamily = chooseKoreanFontFamily();
    // The drawing when SVG can be read, else the largest of the pictures made from it.
    content.logoSource = QImageReader::supportedImageFormats().contains("svg") ? QStringLiteral("qrc:/kestrio/window/icons/kestrio.svg")
                                                                               : QStringLiteral("qrc:/kestrio/window/icons/kestrio-256.png");
    content_ = std::make_unique<WindowModel>(std::move(content));

    engine_ = std::make_unique<QQmlApplicationEngine>();
    engine_->addImageProvider(QStringLiteral("qr"), new QrImageProvider);  // the engine owns it
    engine_->setProperty(hostProperty, QVariant::fromValue(static_cast<QObject*>(content_.get())));
    QStringList warnings;
    QObject::connect(engine_.get(), &QQmlEngine::warnings, [&warnings](const QList<QQmlError>& errors) {
        for (const auto& error : errors)
            warnings.append(error.toString());
    });
    engine_->load(QUrl(QStringLiteral("qrc:/kestrio/window/qml/MainWindow.qml")));
    QObject::disconnect(engine_.get(), &QQmlEngine::warnings, nullptr, nullptr);
    if (!engine_->rootObjects().isEmpty())
        window_ = qobject_cast<QQuickWindow*>(engine_->rootObjects().constFirst());
    if (!window_) {
        error_ = "the window could not be built";
        if (!warnings.isEmpty())
            error_ += ": " + warnings.join(QStringLiteral("; ")).toStdString();
        return;
    }
    window_->setIcon(applicationIcon());
}

MainWindow::~MainWindow()
{
    // The scene goes first: its bindings read the window model.
    engine_.reset();
    content_.reset();
}

void MainWindow::show()
{
    if (!window_)
        return;
    window_->show();
    content_->contentShown();
}

}  // namespace kestrio::window
