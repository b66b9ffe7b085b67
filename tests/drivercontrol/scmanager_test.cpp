// The service wrapper: what it asks of the service control manager, its handle checks, and the
// status text of every code it may meet.
#include <gtest/gtest.h>

#include "drivercontrol/scmanager.h"
#include "../support/scripted_driver.h"

namespace {

using namespace ZelmUsbVardoManager;
using Op = SCManager::Operation;
using platform_test::ScriptedServices;

class SCManagerTest : public ::testing::Test {
protected:
    ScriptedServices services;
    platform::Override<platform::Services> use{&platform::Platform::services, services};
};

TEST(SCManagerStatusText, EveryTableRowAndTheFallback)
{
    struct Case {
        Op op;
        uint32_t code;
        const char16_t* text;
    };
    const Case cases[] = {
        {Op::OpenManager, 5, u"Odmowa dostępu do SCManager-a"},
        {Op::OpenManager, 87, u"Zły parametr dla otwarcia SCManager-a"},
        {Op::OpenManager, 1065, u"Nie ma bazy danych SCManager-a"},
        {Op::OpenManager, 6, u"Nieznany błąd otwarcia SCManager-a; kod błędu=6"},
        {Op::CreateSvc, 5, u"Odmowa dostępu do serwisu"},
        {Op::CreateSvc, 6, u"Błędny uchwyt SCManager-a"},
        {Op::CreateSvc, 87, u"Zły parametr dla funkcji CreateService"},
        {Op::CreateSvc, 123, u"Nazwa serwisu jest błędna"},
        {Op::CreateSvc, 1057, u"Błędne konto dla funkcji CreateService"},
        {Op::CreateSvc, 1059, u"Serwis nie może mieć cyklicznej zależności"},
        {Op::CreateSvc, 1073, u"Serwis o tej nazwie już istnieje"},
        {Op::CreateSvc, 1078, u"Serwis o tej wyświetlanej nazwie juz istnieje"},
        {Op::CreateSvc, 1072, u"Nieznanay błąd wywołania funkcji CreateService; kod błędu=1072"},
        {Op::OpenSvc, 5, u"Odmowa dostępu do serwisu"},
        {Op::OpenSvc, 6, u"Błędny uchwyt SCManager-a"},
        {Op::OpenSvc, 123, u"Błędna nazwa serwisu"},
        {Op::OpenSvc, 1060, u"Serwis nie jest zainstalowany"},
        {Op::OpenSvc, 1717, u"Nieznany błąd otwarcia serwisu; kod błędu=1717"},
        {Op::StartSvc, 3, u"The service binary file could not be found"},
        {Op::StartSvc, 5, u"Odmowa dostępu do serwisu"},
        {Op::StartSvc, 6, u"Błędny uchwyt serwisu"},
        {Op::StartSvc, 1053, u"Operacja startowania serwisu nie zakończyła się w wymaganym czasie"},
        {Op::StartSvc, 1054, u"Nie można utworzyć wątku dla serwisu"},
        {Op::StartSvc, 1055, u"Baza danych serwisów jest zablokowana"},
        {Op::StartSvc, 1056, u"Serwis jest juz wystartowany"},
        {Op::StartSvc, 1058, u"Serwis jest wyłączony z użycia"},
        {Op::StartSvc, 1068, u"Serwis zależy od serwisu, którego start jest nieudany"},
        {Op::StartSvc, 1069, u"Konto serwisu nie ma prawa logować się jako usługa"},
        {Op::StartSvc, 1072, u"Trwa usuwanie serwisu"},
        {Op::StartSvc, 1075, u"Brak serwisu od którego zależy niniejszy serwis"},
        {Op::StartSvc, 1115, u"Trwa zamykanie systemu, serwis nie może byc wystartowany"},
        // A missing image is 2 on Windows; it is not in the table, so it falls back.
        {Op::StartSvc, 2, u"Nieznany błąd startowania serwisu; kod błędu=2"},
        {Op::ControlSvc, 5, u"Odmowa dostępu do serwisu"},
        {Op::ControlSvc, 6, u"Błędny uchwyt serwisu"},
        {Op::ControlSvc, 87, u"Niezrozumiały kod polecenia dla funkcji ControlService"},
        {Op::ControlSvc, 1051, u"Serwis nie może być zatrzymany bo działa zależny od niego serwis"},
        {Op::ControlSvc, 1052, u"Polecenie jest niewłaściwe dla tego serwisu"},
        {Op::ControlSvc, 1053, u"Serwis nie przyjął polecenia w wymaganym czasie"},
        {Op::ControlSvc, 1061, u"Obecny stan serwisu nie pozwala na przesłanie polecenia"},
        {Op::ControlSvc, 1062, u"Serwis nie jest wystartowany"},
        {Op::ControlSvc, 1072, u"Serwis jest w trakcie usuwania"},
        {Op::ControlSvc, 1115, u"System jest w trakcie zamykania"},
        {Op::ControlSvc, 31, u"Nieznany błąd funkcji ControlService; kod błędu=31"},
        {Op::QueryStatus, 5, u"Odmowa dostępu do serwisu"},
        {Op::QueryStatus, 6, u"Błędny uchwyt serwisu"},
        {Op::QueryStatus, 87, u"Nieprawidłowa wartość rozmiaru bufora pobieranej informacji"},
        {Op::QueryStatus, 122, u"Bufor jest za mały do pobrania oczekiwanej informacji"},
        {Op::QueryStatus, 124, u"Wartość określająca typ informacji nie jest obsługiwana"},
        {Op::QueryStatus, 1072, u"Serwis jest w trakcie usuwania"},
        {Op::QueryStatus, 1115, u"System jest w trakcie zamykania"},
        {Op::QueryStatus, 1060, u"Nieznany błąd funkcji QueryServiceStatusEx; kod błędu=1060"},
        {Op::DeleteSvc, 5, u"Odmowa dostępu do serwisu"},
        {Op::DeleteSvc, 6, u"Błędny uchwyt serwisu"},
        {Op::DeleteSvc, 1072, u"Serwis jest w trakcie usuwania"},
        // %d: a code above 0x7FFFFFFF prints as a negative number, as the C runtime prints it.
        {Op::DeleteSvc, 0xC0000001u, u"Nieznany błąd funkcji DeleteService; kod błędu=-1073741823"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SCManager::StatusText(c.op, c.code), c.text) << int(c.op) << " code " << c.code;
}

TEST_F(SCManagerTest, HandleChecksComeBeforeAnyCall)
{
    SCManager scm;
    scm.init(u"ZelmUsb", u"ZelmUsb");
    platform::ServiceStatus st;
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
        const char16_t* text;
    };
    const Case cases[] = {
        {"create", [&] { return scm.CreateSvc(3, u"x.sys", nullptr); }, u"Błędny uchwyt SCManager-a"},
        {"open", [&] { return scm.OpenSvc(4); }, u"Błędny uchwyt SCManager-a"},
        {"start", [&] { return scm.StartSvc(); }, u"Błędny uchwyt serwisu"},
        {"control", [&] { return scm.ControlSvc(1, st); }, u"Błędny uchwyt serwisu"},
        {"query", [&] { return scm.QueryStatus(st); }, u"Błędny uchwyt serwisu"},
        {"delete", [&] { return scm.DeleteSvc(); }, u"Błędny uchwyt serwisu"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), 6u) << c.what;
        EXPECT_EQ(scm.getStatus(), c.text) << c.what;
    }
    EXPECT_TRUE(services.calls.empty());
    EXPECT_EQ(scm.CloseSvc(), 0u);
    EXPECT_EQ(scm.CloseMan(), 0u);
}

TEST_F(SCManagerTest, CreatesAKernelDriverServiceWithTheFixedArguments)
{
    SCManager scm;
    scm.init(u"ZelmUsb", u"ZelmUsb display");
    ASSERT_EQ(scm.OpenManager(), 0u);
    ASSERT_EQ(scm.OpenManager(), 0u);
    EXPECT_EQ(services.managers_opened, 1) << "a second OpenManager keeps the first handle";
    EXPECT_EQ(services.accesses("open_manager"), std::vector<uint32_t>{0xF003F});

    ASSERT_EQ(scm.CreateSvc(3, u"C:\\prog\\zelmusb.sys", nullptr), 0u);
    EXPECT_EQ(services.created.name, u"ZelmUsb");
    EXPECT_EQ(services.created.display_name, u"ZelmUsb display");
    EXPECT_EQ(services.created.desired_access, 0xF01FFu);
    EXPECT_EQ(services.created.service_type, 1u);
    EXPECT_EQ(services.created.start_type, 3u);
    EXPECT_EQ(services.created.error_control, 1u);
    EXPECT_EQ(services.created.image_path, u"C:\\prog\\zelmusb.sys");
    EXPECT_EQ(services.created.load_order_group, u"");

    // A second create of the same name: 1073 with its text; the old service handle was closed
    // before trying.
    EXPECT_EQ(scm.CreateSvc(3, u"C:\\prog\\zelmusb.sys", nullptr), 1073u);
    EXPECT_EQ(scm.getStatus(), u"Serwis o tej nazwie już istnieje");
    EXPECT_FALSE(scm.ServiceOpen());
    EXPECT_EQ(services.open_handles.size(), 1u);

    // Open replaces the handle; a success leaves the last failure's text.
    ASSERT_EQ(scm.OpenSvc(0x14), 0u);
    ASSERT_EQ(scm.OpenSvc(0x24), 0u);
    EXPECT_EQ(services.open_handles.size(), 2u);
    EXPECT_EQ(scm.getStatus(), u"Serwis o tej nazwie już istnieje");
    EXPECT_EQ(scm.CloseMan(), 0u);
    EXPECT_TRUE(scm.ServiceOpen()) << "a service handle outlives the manager handle";
    platform::ServiceStatus st;
    EXPECT_EQ(scm.QueryStatus(st), 0u);
    EXPECT_EQ(st.current_state, platform::service::stopped);
}

TEST_F(SCManagerTest, FailuresGiveTheCodeAndItsText)
{
    SCManager scm;
    scm.init(u"Other", u"Other");
    services.open_manager_error = 5;
    EXPECT_EQ(scm.OpenManager(), 5u);
    EXPECT_EQ(scm.getStatus(), u"Odmowa dostępu do SCManager-a");
    services.open_manager_error = 0;
    ASSERT_EQ(scm.OpenManager(), 0u);
    EXPECT_EQ(scm.OpenSvc(4), 1060u);
    EXPECT_EQ(scm.getStatus(), u"Serwis nie jest zainstalowany");
}

TEST_F(SCManagerTest, DestructorClosesBothHandles)
{
    services.exists = true;
    {
        SCManager scm;
        scm.init(u"ZelmUsb", u"ZelmUsb");
        ASSERT_EQ(scm.OpenManager(), 0u);
        ASSERT_EQ(scm.OpenSvc(4), 0u);
        EXPECT_EQ(services.open_handles.size(), 2u);
    }
    EXPECT_TRUE(services.open_handles.empty());
}

} // namespace
