#include "app/AppModel.h"
#include "support/ModelFixture.h"

#include <QTest>

using State = AppModel::ProgressState;
using Phase = AppModel::SetupPhase;

namespace {

QString states(const AppModel &model)
{
    QString text;
    for (const auto &item : model.setupProgress())
        text += QStringLiteral("prcf").at(int(item.state));
    return text;
}

} // namespace

class ProgressTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void applyProgress_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("after");
        QTest::newRow("running completes earlier phases") << "rpfppppppp" << "handshake" << "running" << "ccccccccrp";
        QTest::newRow("complete leaves others") << "rppppppppp" << "redeem" << "complete" << "rppcpppppp";
        QTest::newRow("failed from the tool runs") << "ccrppppppp" << "permissions" << "failed" << "ccrppppppp";
        QTest::newRow("unknown phase") << "rppppppppp" << "future" << "running" << "rppppppppp";
        QTest::newRow("case-sensitive phase") << "rppppppppp" << "Redeem" << "running" << "rppppppppp";
    }
    void applyProgress()
    {
        QFETCH(QString, before);
        QFETCH(QString, phase);
        QFETCH(QString, status);
        QFETCH(QString, after);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.setupProgress.mutate([&](QList<AppModel::SetupProgressItem> &items) {
            for (int i = 0; i < items.size(); ++i)
                items[i].state = State(QStringLiteral("prcf").indexOf(before.at(i)));
        });
        model.setupProgressDetail = QStringLiteral("old detail");
        model.applyProgress(phase, status, QStringLiteral("new detail"));
        QCOMPARE(states(model), after);
        if (before == after && phase != u"permissions")
            QCOMPARE(model.setupProgressDetail().value_or(QString()), QStringLiteral("old detail"));
    }

    void detailRules()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.applyProgress(QStringLiteral("redeem"), QStringLiteral("running"), QString(100, u'd'));
        QCOMPARE(model.setupProgressDetail()->size(), 80);
        model.applyProgress(QStringLiteral("redeem"), QStringLiteral("running"));
        QVERIFY(!model.setupProgressDetail());
        model.applyProgress(QStringLiteral("redeem"), QStringLiteral("running"), QStringLiteral("x"));
        model.applyProgress(QStringLiteral("redeem"), QStringLiteral("complete"), QStringLiteral("y"));
        QVERIFY(!model.setupProgressDetail());
    }

    void beginProgressResets()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.applyProgress(QStringLiteral("channel"), QStringLiteral("running"), QStringLiteral("x"));
        model.packageInstallProgress = AppModel::PackageInstallProgress{1, 2};
        model.overallState = AppModel::OverallState::error;
        model.beginProgress();
        QCOMPARE(states(model), QStringLiteral("rppppppppp"));
        QVERIFY(!model.setupProgressDetail());
        QVERIFY(!model.packageInstallProgress());
        QCOMPARE(model.overallState(), AppModel::OverallState::starting);
    }

    void packageProgress()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.updatePackageInstallProgress(3, std::nullopt); // no total yet: ignored
        QVERIFY(!model.packageInstallProgress());
        model.updatePackageInstallProgress(5, 10);
        model.updatePackageInstallProgress(3, 10); // never backwards
        QCOMPARE(model.packageInstallProgress()->completed, 5);
        QCOMPARE(model.packageInstallProgress()->percentage(), 50);
        model.updatePackageInstallProgress(7, std::nullopt); // keeps the last total
        QCOMPARE(*model.packageInstallProgress(), (AppModel::PackageInstallProgress{7, 10}));
        model.updatePackageInstallProgress(12, 10); // capped
        QCOMPARE(model.packageInstallProgress()->completed, 10);
        model.updatePackageInstallProgress(1, 0); // a total below one changes nothing
        QCOMPARE(model.packageInstallProgress()->total, 10);
        model.updatePackageInstallProgress(std::nullopt, 20); // absent completed counts as 0, raised to 10
        QCOMPARE(*model.packageInstallProgress(), (AppModel::PackageInstallProgress{10, 20}));
    }

    void percentageRounding_data()
    {
        QTest::addColumn<int>("completed");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("percentage");
        QTest::newRow("zero total") << 0 << 0 << 0;
        QTest::newRow("half rounds up") << 1 << 200 << 1;
        QTest::newRow("two thirds") << 2 << 3 << 67;
        QTest::newRow("over") << 15 << 10 << 100;
    }
    void percentageRounding()
    {
        QFETCH(int, completed);
        QFETCH(int, total);
        QFETCH(int, percentage);
        QCOMPARE((AppModel::PackageInstallProgress{completed, total}.percentage()), percentage);
    }

    void countsAndPackageVisibility()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.applyProgress(QStringLiteral("verify"), QStringLiteral("running"));
        QCOMPARE(model.setupProgressCounts(), std::make_pair(5, 10));
        QCOMPARE(model.setupProgressFraction(), 0.5);
        model.applyProgress(QStringLiteral("runtime"), QStringLiteral("running"), QStringLiteral("安装 Quorvantis"));
        QVERIFY(!model.showsPackageInstallProgress());
        model.isPreparingEnvironment = true;
        QVERIFY(model.showsPackageInstallProgress());
        model.applyProgress(QStringLiteral("runtime"), QStringLiteral("running"), QStringLiteral("安装 Quorvantis 中"));
        QVERIFY(!model.showsPackageInstallProgress());
    }

    void currentTaskRules()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        QCOMPARE(model.currentTask(), QStringLiteral("等待 Agent 状态"));
        model.installStage = AppModel::InstallStage::setup;
        QCOMPARE(model.currentTask(), QStringLiteral("Waiting for setup"));
        model.statusSnapshot.mutate([](AppModel::StatusSnapshot &s) { s.bridgeConnected = true; });
        QCOMPARE(model.currentTask(), QStringLiteral("Idle"));
        model.isSubmittingSetup = true;
        QCOMPARE(model.currentTask(), QStringLiteral("Quorvantis 正在完成设置"));
        model.statusSnapshot.mutate([](AppModel::StatusSnapshot &s) { s.currentTask = QStringLiteral("写报告"); });
        QCOMPARE(model.currentTask(), QStringLiteral("写报告"));
        model.installStage = AppModel::InstallStage::channel;
        QCOMPARE(model.currentTask(), QStringLiteral("Waiting for channel binding"));
    }
};

QTEST_GUILESS_MAIN(ProgressTests)
#include "ProgressTests.moc"
