// The model side of a workspace authorization: the record a setup run reports, opening its
// page in the browser, and every place that takes the record away.
#include "support/ModelFixture.h"
#include "support/AwaitTask.h"

#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

class AuthorizationFlowTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordResetsTheFailureText();
    void secondRecordReplacesTheFirst();
    void twoQuickPressesOpenOnce();
    void refusedThenSuccessfulOpen();
    void failingOpenCountsAsRefused();
    void openWithoutRecordDoesNothing();
    void openingKeepsTheRecord();
    void switchingModeRemovesTheRecord();
    void newRunRemovesTheRecord();
    void failedRunRemovesTheRecord();
    void handlerOutlivingTheModelDoesNothing();
};

void AuthorizationFlowTests::recordResetsTheFailureText()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.authorizationOpen->answers = {false};
    auto &model = h.makeAt("setup");
    const auto handler = model.setupAuthorizationHandler();

    handler(authorization());
    QuorvantisTest::await(model.openSetupAuthorization());
    QVERIFY(model.setupAuthorizationOpenFailed());

    handler(authorization(QStringLiteral("second@example.org")));
    QVERIFY(!model.setupAuthorizationOpenFailed());
    QCOMPARE(model.setupAuthorization()->email, QStringLiteral("second@example.org"));
}

void AuthorizationFlowTests::secondRecordReplacesTheFirst()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto gate = std::make_shared<Gate>();
    Step step = Step::exit(3);
    step.authorization = authorization(QStringLiteral("first@example.org"));
    step.gate = gate;
    h.setupEnroll->steps = {step};
    auto &model = h.makeAt("setup");
    model.beginEnrollmentSetup();
    model.setupAgentName = QStringLiteral("work-agent");
    model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::google;

    auto run = model.submitEnrollmentSetup();
    QCOMPARE(model.setupAuthorization()->email, QStringLiteral("first@example.org"));
    // The run is neither paused nor touched while the card is shown.
    QVERIFY(model.isSubmittingSetup());
    h.setupEnroll->authorization(authorization(QStringLiteral("second@example.org")));
    QCOMPARE(model.setupAuthorization()->email, QStringLiteral("second@example.org"));
    QCOMPARE(h.authorizationOpen->opened.size(), 0);

    gate->open();
    QuorvantisTest::await(std::move(run));
    // The run failed: the failure took the card away.
    QVERIFY(!model.setupAuthorization());
    QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_EXIT_3"));
}

void AuthorizationFlowTests::twoQuickPressesOpenOnce()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto gate = std::make_shared<Gate>();
    h.authorizationOpen->gate = gate;
    auto &model = h.makeAt("setup");
    model.setupAuthorizationHandler()(authorization());

    auto first = model.openSetupAuthorization();
    QVERIFY(model.isOpeningSetupAuthorization());
    QuorvantisTest::await(model.openSetupAuthorization());
    QCOMPARE(h.authorizationOpen->opened, (QList<QUrl>{authorization().authURL}));
    QVERIFY(model.isOpeningSetupAuthorization());

    gate->open();
    QuorvantisTest::await(std::move(first));
    QVERIFY(!model.isOpeningSetupAuthorization());
    QVERIFY(!model.setupAuthorizationOpenFailed());
    QCOMPARE(h.authorizationOpen->opened.size(), 1);
}

void AuthorizationFlowTests::refusedThenSuccessfulOpen()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.authorizationOpen->answers = {false, true};
    auto &model = h.makeAt("setup");
    model.setupAuthorizationHandler()(authorization());

    QuorvantisTest::await(model.openSetupAuthorization());
    QVERIFY(model.setupAuthorizationOpenFailed());
    QVERIFY(!model.isOpeningSetupAuthorization());
    QVERIFY(model.setupAuthorization()); // the user can press again
    QVERIFY(!model.lastError());         // a refused browser is no failure of the model

    QuorvantisTest::await(model.openSetupAuthorization());
    QVERIFY(!model.setupAuthorizationOpenFailed());
    QCOMPARE(h.authorizationOpen->opened.size(), 2);
}

void AuthorizationFlowTests::failingOpenCountsAsRefused()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.effects.setupAuthorizationOpen = [](QUrl) -> QCoro::Task<bool> {
        return []() -> QCoro::Task<bool> {
            throw std::runtime_error("no browser");
            co_return true;
        }();
    };
    model.setupAuthorizationHandler()(authorization());

    QuorvantisTest::await(model.openSetupAuthorization());
    QVERIFY(model.setupAuthorizationOpenFailed());
    QVERIFY(!model.isOpeningSetupAuthorization());
}

void AuthorizationFlowTests::openWithoutRecordDoesNothing()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.setupAuthorizationOpenFailed = true;

    QuorvantisTest::await(model.openSetupAuthorization());
    QCOMPARE(h.authorizationOpen->opened.size(), 0);
    QVERIFY(!model.isOpeningSetupAuthorization());
    QVERIFY(model.setupAuthorizationOpenFailed());
}

void AuthorizationFlowTests::openingKeepsTheRecord()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.setupAuthorizationHandler()(authorization());
    QuorvantisTest::await(model.openSetupAuthorization());
    QCOMPARE(model.setupAuthorization(), authorization());
}

void AuthorizationFlowTests::switchingModeRemovesTheRecord()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.beginEnrollmentSetup();
    model.setupAuthorizationHandler()(authorization());
    QVERIFY(model.setupAuthorization());

    model.useInstallCodeSetup();
    QVERIFY(!model.setupAuthorization());

    model.setupAuthorizationHandler()(authorization());
    model.beginEnrollmentSetup();
    QVERIFY(!model.setupAuthorization());
}

void AuthorizationFlowTests::newRunRemovesTheRecord()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto gate = std::make_shared<Gate>();
    Step step = Step::exit(3);
    step.gate = gate;
    h.setupWithCode->steps = {step};
    auto &model = h.makeAt("setup");
    model.setupAuthorizationHandler()(authorization());
    model.setupAuthorizationOpenFailed = true;
    model.setupCode = QStringLiteral("QVS2-ABCD-EFGH-JKMN");

    auto run = model.submitSetupCode();
    QVERIFY(!model.setupAuthorization());
    QVERIFY(!model.setupAuthorizationOpenFailed());
    gate->open();
    QuorvantisTest::await(std::move(run));
}

void AuthorizationFlowTests::failedRunRemovesTheRecord()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.setupAuthorizationHandler()(authorization());
    model.fail(QStringLiteral("SETUP_EXIT_1"));
    QVERIFY(!model.setupAuthorization());
}

void AuthorizationFlowTests::handlerOutlivingTheModelDoesNothing()
{
    AppModel::AuthorizationHandler handler;
    {
        ModelFixture h(ModelFixture::Succeeding);
        handler = h.makeAt("setup").setupAuthorizationHandler();
    }
    handler(authorization()); // must not touch the destroyed model (ASan would tell)
}

QTEST_GUILESS_MAIN(AuthorizationFlowTests)
#include "AuthorizationFlowTests.moc"
