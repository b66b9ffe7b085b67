#include "drivercontrol/scmanager.h"

#include <utility>

#include "platform/platform.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {

using Op = SCManager::Operation;

struct Row {
    uint32_t code;
    const char16_t* text;
};

struct Table {
    const char16_t* fallback;
    std::initializer_list<Row> rows;
};

const Table& table_of(Op op)
{
    static const Table open_manager{u"Nieznany błąd otwarcia SCManager-a",
                                    {{5, u"Odmowa dostępu do SCManager-a"},
                                     {87, u"Zły parametr dla otwarcia SCManager-a"},
                                     {1065, u"Nie ma bazy danych SCManager-a"}}};
    static const Table create{u"Nieznanay błąd wywołania funkcji CreateService",
                              {{5, u"Odmowa dostępu do serwisu"},
                               {6, u"Błędny uchwyt SCManager-a"},
                               {87, u"Zły parametr dla funkcji CreateService"},
                               {123, u"Nazwa serwisu jest błędna"},
                               {1057, u"Błędne konto dla funkcji CreateService"},
                               {1059, u"Serwis nie może mieć cyklicznej zależności"},
                               {1073, u"Serwis o tej nazwie już istnieje"},
                               {1078, u"Serwis o tej wyświetlanej nazwie juz istnieje"}}};
    static const Table open{u"Nieznany błąd otwarcia serwisu",
                            {{5, u"Odmowa dostępu do serwisu"},
                             {6, u"Błędny uchwyt SCManager-a"},
                             {123, u"Błędna nazwa serwisu"},
                             {1060, u"Serwis nie jest zainstalowany"}}};
    static const Table start{u"Nieznany błąd startowania serwisu",
                             {{3, u"The service binary file could not be found"},
                              {5, u"Odmowa dostępu do serwisu"},
                              {6, u"Błędny uchwyt serwisu"},
                              {1053, u"Operacja startowania serwisu nie zakończyła się w wymaganym czasie"},
                              {1054, u"Nie można utworzyć wątku dla serwisu"},
                              {1055, u"Baza danych serwisów jest zablokowana"},
                              {1056, u"Serwis jest juz wystartowany"},
                              {1058, u"Serwis jest wyłączony z użycia"},
                              {1068, u"Serwis zależy od serwisu, którego start jest nieudany"},
                              {1069, u"Konto serwisu nie ma prawa logować się jako usługa"},
                              {1072, u"Trwa usuwanie serwisu"},
                              {1075, u"Brak serwisu od którego zależy niniejszy serwis"},
                              {1115, u"Trwa zamykanie systemu, serwis nie może byc wystartowany"}}};
    static const Table control{u"Nieznany błąd funkcji ControlService",
                               {{5, u"Odmowa dostępu do serwisu"},
                                {6, u"Błędny uchwyt serwisu"},
                                {87, u"Niezrozumiały kod polecenia dla funkcji ControlService"},
                                {1051, u"Serwis nie może być zatrzymany bo działa zależny od niego serwis"},
                                {1052, u"Polecenie jest niewłaściwe dla tego serwisu"},
                                {1053, u"Serwis nie przyjął polecenia w wymaganym czasie"},
                                {1061, u"Obecny stan serwisu nie pozwala na przesłanie polecenia"},
                                {1062, u"Serwis nie jest wystartowany"},
                                {1072, u"Serwis jest w trakcie usuwania"},
                                {1115, u"System jest w trakcie zamykania"}}};
    static const Table query{u"Nieznany błąd funkcji QueryServiceStatusEx",
                             {{5, u"Odmowa dostępu do serwisu"},
                              {6, u"Błędny uchwyt serwisu"},
                              {87, u"Nieprawidłowa wartość rozmiaru bufora pobieranej informacji"},
                              {122, u"Bufor jest za mały do pobrania oczekiwanej informacji"},
                              {124, u"Wartość określająca typ informacji nie jest obsługiwana"},
                              {1072, u"Serwis jest w trakcie usuwania"},
                              {1115, u"System jest w trakcie zamykania"}}};
    static const Table remove{u"Nieznany błąd funkcji DeleteService",
                              {{5, u"Odmowa dostępu do serwisu"},
                               {6, u"Błędny uchwyt serwisu"},
                               {1072, u"Serwis jest w trakcie usuwania"}}};
    switch (op) {
    case Op::OpenManager: return open_manager;
    case Op::CreateSvc: return create;
    case Op::OpenSvc: return open;
    case Op::StartSvc: return start;
    case Op::ControlSvc: return control;
    case Op::QueryStatus: return query;
    case Op::DeleteSvc: break;
    }
    return remove;
}

constexpr char16_t bad_manager_handle[] = u"Błędny uchwyt SCManager-a";
constexpr char16_t bad_service_handle[] = u"Błędny uchwyt serwisu";

} // namespace

std::u16string SCManager::StatusText(Operation op, uint32_t code)
{
    const Table& table = table_of(op);
    for (const Row& row : table.rows)
        if (row.code == code) return row.text;
    // Composed whole: a long fallback is never cut.
    return text::format(u"%s; kod błędu=%d%c", table.fallback, int32_t(code), u'\0');
}

SCManager::SCManager() { init(u"", u""); }

SCManager::~SCManager()
{
    if (hService != platform::null_handle) platform::services().close(hService);
    if (hSCManager != platform::null_handle) platform::services().close(hSCManager);
}

void SCManager::init(const std::u16string& service, const std::u16string& display)
{
    service_name = service;
    display_name = display;
    hSCManager = platform::null_handle;
    hService = platform::null_handle;
    status.clear();
}

uint32_t SCManager::Fail(Operation op, uint32_t code)
{
    status = StatusText(op, code);
    return code;
}

uint32_t SCManager::OpenManager()
{
    if (hSCManager != platform::null_handle) return 0;
    platform::Handle h = platform::null_handle;
    const platform::Error e = platform::services().open_manager(platform::service::manager_all_access, h);
    if (e != 0) return Fail(Op::OpenManager, e);
    hSCManager = h;
    return 0;
}

uint32_t SCManager::CreateSvc(uint32_t startType, const std::u16string& sysfilename, const char16_t* grupa)
{
    if (hSCManager == platform::null_handle) {
        status = bad_manager_handle;
        return platform::err::invalid_handle;
    }
    CloseSvc();
    platform::ServiceDefinition definition;
    definition.name = service_name;
    definition.display_name = display_name;
    definition.desired_access = platform::service::all_access;
    definition.service_type = platform::service::kernel_driver;
    definition.start_type = startType;
    definition.error_control = platform::service::error_normal;
    definition.image_path = sysfilename;
    definition.load_order_group = grupa ? grupa : u"";
    platform::Handle h = platform::null_handle;
    const platform::Error e = platform::services().create(hSCManager, definition, h);
    if (e != 0) return Fail(Op::CreateSvc, e);
    hService = h;
    return 0;
}

uint32_t SCManager::OpenSvc(uint32_t dwDesiredAccess)
{
    if (hSCManager == platform::null_handle) {
        status = bad_manager_handle;
        return platform::err::invalid_handle;
    }
    CloseSvc();
    platform::Handle h = platform::null_handle;
    const platform::Error e = platform::services().open(hSCManager, service_name, dwDesiredAccess, h);
    if (e != 0) return Fail(Op::OpenSvc, e);
    hService = h;
    return 0;
}

uint32_t SCManager::StartSvc()
{
    if (hService == platform::null_handle) {
        status = bad_service_handle;
        return platform::err::invalid_handle;
    }
    const platform::Error e = platform::services().start(hService);
    return e == 0 ? 0 : Fail(Op::StartSvc, e);
}

uint32_t SCManager::ControlSvc(uint32_t dwControl, platform::ServiceStatus& lpServiceStatus)
{
    if (hService == platform::null_handle) {
        status = bad_service_handle;
        return platform::err::invalid_handle;
    }
    const platform::Error e = platform::services().control(hService, dwControl, lpServiceStatus);
    return e == 0 ? 0 : Fail(Op::ControlSvc, e);
}

uint32_t SCManager::QueryStatus(platform::ServiceStatus& ssp)
{
    if (hService == platform::null_handle) {
        status = bad_service_handle;
        return platform::err::invalid_handle;
    }
    const platform::Error e = platform::services().query_status(hService, ssp);
    return e == 0 ? 0 : Fail(Op::QueryStatus, e);
}

uint32_t SCManager::DeleteSvc()
{
    if (hService == platform::null_handle) {
        status = bad_service_handle;
        return platform::err::invalid_handle;
    }
    const platform::Error e = platform::services().remove(hService);
    return e == 0 ? 0 : Fail(Op::DeleteSvc, e);
}

uint32_t SCManager::CloseSvc()
{
    if (hService == platform::null_handle) return 0;
    const platform::Error e = platform::services().close(hService);
    if (e != 0) return e;
    hService = platform::null_handle;
    return 0;
}

uint32_t SCManager::CloseMan()
{
    if (hSCManager == platform::null_handle) return 0;
    const platform::Error e = platform::services().close(hSCManager);
    if (e != 0) return e;
    hSCManager = platform::null_handle;
    return 0;
}

} // namespace ZelmUsbVardoManager
