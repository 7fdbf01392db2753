#pragma once
// The automation object seam: the four late-bound operations the COM binding needs from an
// automation object (on Windows a QAxObject). The binding is written against this class so that
// its member strings and argument lists can be checked anywhere with a recording stand-in.

#include <QList>
#include <QString>
#include <QVariant>

// One late-bound automation object. A sub-object obtained from it is owned by it (and so,
// ultimately, by the root object): destroying an object destroys every sub-object taken from it.
class AutomationObject
{
public:
    virtual ~AutomationObject() = default;

    // Binds the object to a registered class (a ProgID); false when no such class can be created.
    virtual bool setControl(const QString& control) = 0;
    // Calls a member by its textual prototype with the given arguments, in order.
    virtual QVariant dynamicCall(const char* member, const QVariantList& args = {}) = 0;
    // The object a member returns; null when there is none. The result stays owned by this object.
    virtual AutomationObject* querySubObject(const char* member, const QVariantList& args = {}) = 0;
    // Writes a property; false when the object did not accept it.
    virtual bool setProperty(const char* name, const QVariant& value) = 0;
};
