#include "Tutorial/SnippetTemplate.h"

namespace sablix {

const std::vector<SnippetTemplate>& snippetTemplates() {
    static const std::vector<SnippetTemplate> templates{
        {platform::Uuid::generate(), "envelope", "Email signature", "sig",
         "Best regards,\n{fill:Your Name}\n{fill:Your Title}\n{fill:Company}"},
        {platform::Uuid::generate(), "phone", "Phone number", "phone", "{fill:Your Phone Number}"},
        {platform::Uuid::generate(), "text.bubble", "Quick reply", "thanks",
         "Thanks for reaching out! I'll get back to you shortly."},
        {platform::Uuid::generate(), "link", "URL / link", "site", "{fill:Your URL}"},
    };
    return templates;
}

}  // namespace sablix
