#pragma once

#include "app/AppModel.h"
#include "app/CameraFeed.h"
#include "app/EnrollModel.h"
#include "app/TestModel.h"
#include "app/desktop/Views.h"

#include <QColor>
#include <QObject>
#include <QQmlEngine>

// The types the views see, module "Tarvo". The app's models are registered
// from here, not in their own headers: the command line uses them too and
// links no QML.
namespace tarvo::desktop {

// The shell's model: one per application, shared by every window it loads.
struct AppForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::AppModel)
    QML_NAMED_ELEMENT(App)
    QML_SINGLETON

  public:
    static app::AppModel* create(QQmlEngine* engine, QJSEngine*);
};

struct ViewsForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::desktop::Views)
    QML_NAMED_ELEMENT(Views)
    QML_SINGLETON

  public:
    static Views* create(QQmlEngine* engine, QJSEngine*);
};

// The app model's lists, for typed delegates.
struct FacesModelForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::FacesModel)
    QML_NAMED_ELEMENT(FacesModel)
    QML_UNCREATABLE("the app model's")
};

struct CamerasModelForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::CamerasModel)
    QML_NAMED_ELEMENT(CamerasModel)
    QML_UNCREATABLE("the app model's")
};

// The prerequisites as the status rows bind to them.
struct PrerequisiteStatesForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::PrerequisiteStates)
    QML_NAMED_ELEMENT(PrerequisiteStates)
    QML_UNCREATABLE("the app model's")
};

struct PrerequisiteStateForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::PrerequisiteState)
    QML_NAMED_ELEMENT(PrerequisiteState)
    QML_UNCREATABLE("the app model's")
};

// The panels make their own enrollment and test; each owns its feed.
struct EnrollModelForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::EnrollModel)
    QML_NAMED_ELEMENT(EnrollModel)
};

struct TestModelForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::TestModel)
    QML_NAMED_ELEMENT(TestModel)
};

struct CameraFeedForeign {
    Q_GADGET
    QML_FOREIGN(tarvo::app::CameraFeed)
    QML_NAMED_ELEMENT(CameraFeed)
    QML_UNCREATABLE("a panel's own")
};

// The colours the views use by role: the desktop's own where it has them,
// read each time the window loads.
class Colours : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QColor window MEMBER window_ CONSTANT)
    Q_PROPERTY(QColor text MEMBER text_ CONSTANT)
    Q_PROPERTY(QColor secondary MEMBER secondary_ CONSTANT)
    Q_PROPERTY(QColor accent MEMBER accent_ CONSTANT)
    Q_PROPERTY(QColor card MEMBER card_ CONSTANT)
    Q_PROPERTY(QColor green MEMBER green_ CONSTANT)
    Q_PROPERTY(QColor orange MEMBER orange_ CONSTANT)

  public:
    explicit Colours(QObject* parent = nullptr);

  private:
    QColor window_, text_, secondary_, accent_, card_, green_, orange_;
};

} // namespace tarvo::desktop
