#include "net/ftp_list.h"

#include "net/ftp_reply.h"

#include <sstream>
#include <string_view>

namespace {

std::vector<std::string> Words(const std::string& text, std::size_t count, std::string& rest)
{
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (words.size() < count) {
        pos = text.find_first_not_of(' ', pos);
        if (pos == std::string::npos)
            break;
        const auto end = text.find(' ', pos);
        words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end;
        if (end == std::string::npos)
            break;
    }
    if (pos != std::string::npos)
        pos = text.find_first_not_of(' ', pos);
    rest = pos == std::string::npos ? std::string() : text.substr(pos);
    return words;
}

int64_t Number(const std::string& word)
{
    return tolvek::ftp::ParseDecimal(word, INT64_MAX).value_or(-1);
}

} // namespace

void TFTPList::Clear()
{
    Lines.clear();
    List.clear();
}

void TFTPList::AssignLines(const std::string& listing)
{
    Lines.clear();
    std::string line;
    for (char c : listing) {
        if (c == '\r' || c == '\n') {
            if (!line.empty())
                Lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        Lines.push_back(line);
    ParseLines();
}

void TFTPList::ParseLines()
{
    List.clear();
    for (const auto& line : Lines) {
        TFTPListRec rec;
        if (ParseLine(line, rec))
            List.push_back(rec);
    }
}

bool TFTPList::ParseLine(const std::string& line, TFTPListRec& rec)
{
    rec = TFTPListRec();
    rec.OriginalLine = line;
    if (line.empty())
        return false;
    if (line[0] == '+') {
        // EPLF: "+fact,fact,...\tname"; "/" marks a directory, "s" the size.
        const auto tab = line.find('\t');
        if (tab == std::string::npos || tab + 1 >= line.size())
            return false;
        rec.FileName = line.substr(tab + 1);
        std::istringstream facts(line.substr(1, tab - 1));
        for (std::string fact; std::getline(facts, fact, ',');) {
            if (fact == "/")
                rec.Directory = true;
            else if (!fact.empty() && fact[0] == 's')
                rec.FileSize = Number(fact.substr(1));
        }
        return true;
    }
    std::string rest;
    if (std::string_view("-dlbcps").find(line[0]) != std::string_view::npos && line.size() > 10) {
        // Unix: perms links owner group size month day time-or-year name
        const auto w = Words(line, 8, rest);
        if (w.size() < 8 || rest.empty())
            return false;
        rec.Permission = w[0];
        rec.Directory = line[0] == 'd';
        rec.FileSize = Number(w[4]);
        rec.FileName = rest;
        if (line[0] == 'l') {
            const auto arrow = rec.FileName.find(" -> ");
            if (arrow != std::string::npos)
                rec.FileName.resize(arrow);
        }
        return rec.FileSize >= 0;
    }
    // DOS: "01-01-24  10:00AM  <DIR>  name" or "... 1234 name"
    const auto w = Words(line, 3, rest);
    if (w.size() == 3 && !rest.empty() && w[0].size() >= 8 && w[0][2] == '-') {
        rec.Directory = w[2] == "<DIR>";
        rec.FileSize = rec.Directory ? -1 : Number(w[2]);
        rec.FileName = rest;
        return rec.Directory || rec.FileSize >= 0;
    }
    return false;
}
