#pragma once

// Finds a form's widgets the way the tests name them: by class and object name.

#include <QLatin1String>
#include <QObject>

namespace testsupport {

// The child of `parent` of class T named `name`, or nullptr when there is none.
template <class T>
T* child(const QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}

} // namespace testsupport
