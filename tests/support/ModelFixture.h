#pragma once

#include "app/AppModel.h"
#include "support/VirtualTime.h"

#include <QTemporaryDir>

#include <memory>

// A model on virtual time in a temporary profile directory, with every effect scripted to do
// nothing real: tests replace the ones they exercise before calling `make()`.
class ModelFixture
{
public:
    ModelFixture();

    QString profileDirectory() const { return m_home.filePath(QStringLiteral("profile")); }
    QString profileFile(const QString &name) const;
    void writeProfileFile(const QString &name, const QByteArray &content) const;

    // Builds the model (replacing any earlier one) with the current effects.
    AppModel &make(bool autoResume = false);
    AppModel &model() { return *m_model; }

    AppModel::Effects effects;
    std::vector<std::chrono::milliseconds> retryDelays{std::chrono::seconds(2), std::chrono::seconds(4),
                                                       std::chrono::seconds(8)};
    VirtualTime time;
    // Counts willChange() of the current model.
    int willChangeCount = 0;

private:
    QTemporaryDir m_home;
    std::unique_ptr<AppModel> m_model;
};
