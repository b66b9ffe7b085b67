#include "host/app.h"
#include "host/settings.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "policy/rules.h"

void load_initial_rules()
{
    TRACE(u"> Enter");
    {
        std::lock_guard<std::recursive_mutex> guard(settings_lock());
        initial_rules.clear();
        std::u16string text;
        if (!LoadSuiteFile(get_path(u"current_usb"), text) || text.empty()) {
            _COUT(u"No initial rules file.");
        } else {
            CJsonNode doc;
            if (doc.LoadText(text)) {
                CJsonNode* rules = doc.Member(u"rules");
                _COUT(u"Initial rules count: " + IntText(int(rules->children.size())));
                load_rule_list(initial_rules, rules);
            }
        }
        TRACE(u"< Leave");
    }
}
