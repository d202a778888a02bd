#pragma once

// Runs kiv-sim-supplicant (KIV_SIM_SUPPLICANT) with a scenario on the test's system bus and
// reaches its control object. Failures are reported through the Qt Test macros.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

class SimSupplicantProcess
{
public:
    ~SimSupplicantProcess() { stop(); }

    void start(const QByteArray &scenarioJson)
    {
        QVERIFY(m_scenarioFile.open());
        m_scenarioFile.resize(0);
        m_scenarioFile.write(scenarioJson);
        m_scenarioFile.flush();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(QStringLiteral(KIV_SIM_SUPPLICANT), {QStringLiteral("--scenario"), m_scenarioFile.fileName()});
        QVERIFY(m_process->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::systemBus().interface()->isServiceRegistered(serviceName()), 10000);
    }

    void stop()
    {
        if (!m_process)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(5000))
            m_process->kill();
        m_process->waitForFinished(5000);
        m_process.reset();
        QTRY_VERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(serviceName()));
    }

    static QString serviceName() { return QStringLiteral("fi.w1.wpa_supplicant1"); }

    static QDBusMessage control(const QString &method, const QVariantList &args = {})
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"),
                                                           QStringLiteral("com.tarvel.kivsim.Control"), method);
        call.setArguments(args);
        return QDBusConnection::systemBus().call(call);
    }

private:
    std::unique_ptr<QProcess> m_process;
    QTemporaryFile m_scenarioFile;
};
