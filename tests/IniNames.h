// A check that the settings-store tests and the fuzz target share.
#ifndef INI_NAMES_H
#define INI_NAMES_H

#include <set>
#include <string>
#include <utility>

#include "SimpleIni.h"

// True when every section and key of back is one that doc holds, names
// compared after the reader's trimming: saving and loading again injected
// or moved nothing.
inline bool namesWithin(const SimpleIni& back, const SimpleIni& doc)
{
    std::set<std::pair<std::string, std::string>> held;
    for (const auto& sec : doc.m_Sections) {
        held.emplace(SimpleIni::Trim(sec.first), std::string());
        for (const auto& entry : sec.second)
            held.emplace(SimpleIni::Trim(sec.first), SimpleIni::Trim(entry.first));
    }
    for (const auto& sec : back.m_Sections) {
        if (held.count({sec.first, std::string()}) == 0)
            return false;
        for (const auto& entry : sec.second)
            if (held.count({sec.first, entry.first}) == 0)
                return false;
    }
    return true;
}

#endif
