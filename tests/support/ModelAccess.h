#pragma once

#include "app/AppModel.h"

#include <QDir>

// What tests reach inside the model: the owners' whole interfaces (not only what the face hands
// the views) and the face's construction results.
struct AppModelAccess
{
    AppModel &model;

    InstallJourney &journey() const { return *model.m_journey; }
    Attention &attention() const { return *model.m_attention; }
    SetupController &setup() const { return *model.m_setup; }
    PermissionController &permissions() const { return *model.m_permissions; }
    ChannelController &channel() const { return *model.m_channel; }
    StatusController &status() const { return *model.m_status; }
    UpdateController &updates() const { return *model.m_updates; }

    const std::shared_ptr<CLIService> &cli() const { return model.m_cli; }
    QString profileFile(const QString &name) const { return QDir(model.m_profileDirectory).filePath(name); }
};
