#include "environment.hpp"

#include "text.hpp"

#include <unistd.h>

#include <algorithm>

Environment::Environment()
{
	for (char **variable = environ; *variable != nullptr; ++variable)
		variables_.emplace_back(*variable);
}

void Environment::set(const std::string &name, const std::string &value)
{
	const std::string prefix = name + "=";
	variables_.erase(std::remove_if(variables_.begin(), variables_.end(),
	                                [&prefix](const std::string &v) {
		                                return v.compare(0,
		                                                 prefix.size(),
		                                                 prefix) == 0;
	                                }),
	                 variables_.end());
	variables_.push_back(prefix + value);
	changed_ = true;
}

void Environment::add_tunable(const std::string &tunable)
{
	const std::string prefix = "GLIBC_TUNABLES=";
	for (std::string &variable : variables_) {
		if (variable.compare(0, prefix.size(), prefix) != 0)
			continue;
		if (variable.size() > prefix.size())
			variable += ":";
		variable += tunable;
		changed_ = true;
		return;
	}
	variables_.push_back(prefix + tunable);
	changed_ = true;
}

char *const *Environment::get()
{
	if (!changed_)
		return pointers_.data();
	changed_ = false;
	pointers_.assign(variables_.size() + 1, nullptr);
	std::transform(variables_.begin(), variables_.end(), pointers_.begin(),
	               // Not const: a const string's data() is a const char *.
	               // cppcheck-suppress constParameterReference
	               [](std::string &variable) { return variable.data(); });
	return pointers_.data();
}

namespace
{

bool is_name(const std::string &text, const char *first, const char *others)
{
	return !text.empty() &&
	       std::string(first).find(text[0]) != std::string::npos &&
	       text.find_first_not_of(others) == std::string::npos;
}

const char lower[] = "abcdefghijklmnopqrstuvwxyz";
const char upper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

} // namespace

std::string add_variant(std::vector<Variant> &variants, const std::string &text,
                        const std::vector<std::string> &taken)
{
	const std::size_t colon = text.find(':');
	if (colon == std::string::npos)
		return "must be NAME:VAR=VALUE";
	const std::string name = text.substr(0, colon);
	const std::string assignment = text.substr(colon + 1);
	const std::string letters = std::string(lower) + upper;
	if (name.size() > 32 ||
	    !is_name(name, lower, (std::string(lower) + "0123456789_").c_str()))
		return "NAME must be 1 to 32 of a-z, 0-9 and _, starting with "
		       "a "
		       "letter";
	const std::size_t equals = assignment.find('=');
	const std::string variable = assignment.substr(0, equals);
	if (equals == std::string::npos ||
	    !is_name(variable, (letters + "_").c_str(),
	             (letters + "0123456789_").c_str()))
		return "must be NAME:VAR=VALUE, VAR a variable's name";
	if (!valid_utf8(assignment))
		return "VALUE must be UTF-8";
	if (std::find(taken.begin(), taken.end(), name) != taken.end())
		return "NAME " + name + " is a row of the bench already";
	auto found =
	    std::find_if(variants.begin(), variants.end(),
	                 [&name](const Variant &v) { return v.name == name; });
	if (found == variants.end())
		found = variants.insert(variants.end(), Variant{name, {}});
	found->assignments.emplace_back(variable,
	                                assignment.substr(equals + 1));
	return "";
}

std::string describe(const std::vector<Variant> &variants)
{
	std::string text;
	for (const Variant &variant : variants) {
		text += text.empty() ? "" : "; ";
		text += variant.name;
		text += ":";
		for (const auto &[variable, value] : variant.assignments) {
			text += " ";
			text += variable;
			text += "=";
			text += value;
		}
	}
	return text.empty() ? "none" : text;
}
