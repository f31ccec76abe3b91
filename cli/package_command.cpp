// `pelmo4rix package`: makes signing keys and signed image packages, shows and verifies them.
#include <cstdio>

#include "cli/cli.h"
#include "image/package.h"

namespace {

struct package_options {
    cli_options report;  // --json, for the report functions
    std::string action;  // keygen, make, show, verify
    std::string out, key, image, version, package;
    image_trust trust;
    bool help = false;
};


bool take_option(package_options& o, const std::string& name, const std::string& value, std::string& error)
{
    const std::string& a = o.action;
    if (name == "--trust" && a == "verify") {
        o.trust.files.push_back(value);
        return true;
    }
    if (name == "--min-version" && a == "verify")
        return parse_min_version(value, o.trust.min_version, error);
    std::string* field = name == "--out" && (a == "keygen" || a == "make") ? &o.out
                       : name == "--key" && a == "make"                     ? &o.key
                       : name == "--image" && a == "make"                   ? &o.image
                       : name == "--version" && a == "make"                 ? &o.version
                                                                            : nullptr;
    if (!field) {
        error = a.empty() ? "unknown option " + name : "unknown option " + name + " for package " + a;
        return false;
    }
    *field = value;
    return true;
}

bool check_package_options(package_options& o, std::string& error)
{
    const std::string& a = o.action;
    if (a.empty())
        error = "no package command given";
    else if (a == "keygen" && o.out.empty())
        error = "package keygen needs --out NAME";
    else if (a == "make" && (o.key.empty() || o.image.empty() || o.version.empty() || o.out.empty()))
        error = "package make needs --key, --image, --version and --out";
    else if ((a == "show" || a == "verify") && o.package.empty())
        error = "package " + a + " needs the package file";
    return error.empty();
}

bool parse_package_options(int argc, char** argv, package_options& o, std::string& error)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--json") {
            o.report.json = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::string name, value;
            if (!option_value(argc, argv, i, name, value, error) || !take_option(o, name, value, error))
                return false;
        } else if (o.action.empty()) {
            if (arg != "keygen" && arg != "make" && arg != "show" && arg != "verify") {
                error = "unknown package command " + arg;
                return false;
            }
            o.action = arg;
        } else if ((o.action == "show" || o.action == "verify") && o.package.empty()) {
            o.package = arg;
        } else {
            error = "unexpected argument " + arg;
            return false;
        }
    }
    return o.help || check_package_options(o, error);
}


void add_manifest(result& r, const image_manifest& m)
{
    add_text(r, "product", m.product);
    add_number(r, "flash_mbit", m.flash_mbit);
    add_text(r, "version", m.version);
    add_text(r, "built", m.built);
    add_number(r, "size", m.size);
    add_text(r, "checksum", m.checksum);
    add_text(r, "sha256", m.sha256);
    add_text(r, "key", m.key_id);
}

int keygen(const package_options& o)
{
    public_key key;
    std::string why;
    if (!make_key_pair(o.out, key, why))
        return report_failure(o.report, EXIT_IMAGE_FILE, why);
    result r;
    add_text(r, "key", key.id);
    add_text(r, "public_key", key_text(key));
    add_text(r, "public_key_file", key.file);
    add_text(r, "secret_key_file", o.out + ".key");
    print_result(o.report, r);
    return EXIT_OK;
}

int make(const package_options& o)
{
    image_manifest m;
    std::string why;
    if (!make_package(o.key, o.image, o.version, o.out, m, why))
        return report_failure(o.report, EXIT_IMAGE_FILE, why);
    result r;
    add_text(r, "package", o.out);
    add_manifest(r, m);
    print_result(o.report, r);
    return EXIT_OK;
}

int show_or_verify(const package_options& o)
{
    image_package package;
    image_facts facts;
    std::string why;
    if (!read_package(o.package, package, facts, why))
        return report_failure(o.report, EXIT_IMAGE_FILE, why);
    result r;
    add_text(r, "package", o.package);
    add_manifest(r, package.manifest);
    if (o.action == "verify") {
        trusted_key_set keys;
        trusted_keys(o.trust, keys);
        warn_skipped_keys(o.report, keys);
        add_trusted_keys(r, keys);
        if (!verify_package(package, keys, why)) {
            add_flag(r, "verified", false);
            return report_refusal(o.report, EXIT_IMAGE_FILE, o.package + " refused: " + why, r);
        }
        for (const public_key& key : keys.keys)
            if (key.id == package.manifest.key_id)
                add_text(r, "trusted_key", key.file);
        add_flag(r, "verified", true);
    }
    print_result(o.report, r);
    return EXIT_OK;
}

}  // namespace

void warn_skipped_keys(const cli_options& options, const trusted_key_set& keys)
{
    if (options.quiet)
        return;
    for (const std::string& why : keys.skipped)
        fprintf(stderr, "pelmo4rix: warning: key file skipped: %s\n", shown_text(why).c_str());
    fflush(stderr);
}

void add_trusted_keys(result& r, const trusted_key_set& keys)
{
    add_text(r, "keys_from", keys.source);
    std::string json, text;
    for (const public_key& key : keys.keys) {
        json += std::string(json.empty() ? "" : ",") + "{\"file\":" + json_string(key.file) +
                ",\"key\":" + json_string(key.id) +
                ",\"min_version\":" + (key.min_version.empty() ? "null" : json_string(key.min_version)) + "}";
        text += (text.empty() ? "" : ", ") + shown_text(key.file) + " (" + key.id +
                (key.min_version.empty() ? "" : ", min_version " + key.min_version) + ")";
    }
    add_json(r, "keys", "[" + json + "]", text.empty() ? "none" : text);
    json.clear();
    text.clear();
    for (const std::string& why : keys.skipped) {
        json += (json.empty() ? "" : ",") + json_string(why);
        text += (text.empty() ? "" : "; ") + shown_text(why);
    }
    add_json(r, "skipped_keys", "[" + json + "]", text.empty() ? "none" : text);
}

std::string package_usage()
{
    return "usage: pelmo4rix package keygen --out NAME\n"
           "       pelmo4rix package make --key NAME.key --image FILE --version V --out PKG\n"
           "       pelmo4rix package show PKG [--json]\n"
           "       pelmo4rix package verify PKG [--trust FILE] [--min-version V] [--json]\n"
           "Signed image packages: one file with the image, a manifest (product, flash size,\n"
           "version, build time, checksum, SHA-256, key id) and an Ed25519 signature over\n"
           "the manifest. flash --image, the gang's --image and image take such a package\n"
           "only when it is signed by a trusted key.\n"
           "  keygen  writes the secret key NAME.key (readable by its owner only; keep it off\n"
           "          the stations) and the public key NAME.pub, and prints the public key\n"
           "  make    packs the raw image FILE as version V (6.05: its first character chooses\n"
           "          the flash size, 3 or above 8 Mbit) and signs it\n"
           "  show    the package's manifest, unchecked\n"
           "  verify  checks the package against the trusted keys, and says which keys were\n"
           "          considered: those of --trust FILE (a .pub file or a folder of them, may\n"
           "          be repeated) when given, else those PELMO4RIX_TRUST names, else those\n"
           "          of the folder trusted.d beside the programs and /etc/pelmo4rix/trusted.d.\n"
           "          A key file that can't be read, or that others than root and you may\n"
           "          change, is skipped with a warning. --min-version V refuses a package\n"
           "          older than V (as a key file's line \"min_version V\" does for its key)\n"
           "Exit codes: 0 done; 2 a usage error; 24 a file refused or not written.\n";
}

int package_main(int argc, char** argv, const cli_options& globals)
{
    package_options o;
    o.report = globals;
    o.report.command = "package";
    std::string error;
    if (!parse_package_options(argc, argv, o, error)) {
        o.report.json = o.report.json || json_asked(argc, argv);
        return report_usage_error(o.report, "pelmo4rix package", error, package_usage());
    }
    if (o.help) {
        print_help(o.report, package_usage());
        return EXIT_OK;
    }
    return o.action == "keygen" ? keygen(o) : o.action == "make" ? make(o) : show_or_verify(o);
}
