// The automation object seam over ActiveQt, and the factory of the COM binding. Windows only.
// The factory initialises COM on the calling thread (the conversion worker's) before it creates
// the application object; every object here is used on that thread only.

#include "platform/automationobject.h"
#include "platform/comspreadsheetapplication.h"

#include <QAxObject>

#include <objbase.h>

#include <memory>
#include <vector>

namespace {

// One QAxObject. The QAxObjects that querySubObject returns are Qt children of the object they
// came from; each is wrapped here and released, children first, when its parent wrapper goes.
class AxAutomationObject final : public AutomationObject
{
public:
    explicit AxAutomationObject(QAxObject* object) : m_object(object) {}
    ~AxAutomationObject() override
    {
        // A child QAxObject removes itself from its parent when deleted, so deleting the children
        // first leaves nothing for the parent to delete twice.
        m_children.clear();
        delete m_object;
    }
    AxAutomationObject(const AxAutomationObject&) = delete;
    AxAutomationObject& operator=(const AxAutomationObject&) = delete;

    bool setControl(const QString& control) override { return m_object->setControl(control); }

    QVariant dynamicCall(const char* member, const QVariantList& args) override
    {
        // ActiveQt takes the list by non-const reference to hand back out-parameters.
        QVariantList arguments = args;
        return m_object->dynamicCall(member, arguments);
    }

    AutomationObject* querySubObject(const char* member, const QVariantList& args) override
    {
        QVariantList arguments = args;
        QAxObject* child = m_object->querySubObject(member, arguments);
        if (!child)
            return nullptr;
        m_children.push_back(std::make_unique<AxAutomationObject>(child));
        return m_children.back().get();
    }

    // QAxObject's meta-object carries the COM object's properties, so a property write goes
    // through Qt's property system to the object's property setter.
    bool setProperty(const char* name, const QVariant& value) override { return m_object->setProperty(name, value); }

private:
    QAxObject* m_object;
    std::vector<std::unique_ptr<AxAutomationObject>> m_children;
};

} // namespace

SpreadsheetApplication* createComSpreadsheetApplication(QObject* parent)
{
    // A multithreaded apartment for the worker's thread. The result is not needed: a thread
    // already initialised keeps its apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return new ComSpreadsheetApplication(std::make_unique<AxAutomationObject>(new QAxObject), parent);
}
