// Validates .xlsx files with the Open XML SDK's schema and semantic checks (@ooxml-tools/validate,
// the SDK compiled to WebAssembly), loading the validator once for all files.
//
//     node ooxml-validate-all.mjs VALIDATOR_INDEX_JS VERSIONS FILE...
//
// VERSIONS is a comma-separated list of rule sets ("Office2007,Microsoft365"). Prints one line
// per file and rule set, and each problem found; exits with 1 when any file has one.
import fs from "node:fs";
import { pathToFileURL } from "node:url";

const [validatorPath, versionList, ...files] = process.argv.slice(2);
const { default: validate, ready } = await import(pathToFileURL(validatorPath).href);
await ready();

let failures = 0;
for (const file of files) {
    const bytes = new Uint8Array(fs.readFileSync(file));
    for (const version of versionList.split(",")) {
        const problems = await validate(bytes, "xlsx", version);
        if (problems.length === 0) {
            console.log(`ok\t${version}\t${file}`);
            continue;
        }
        failures++;
        console.log(`FAIL\t${version}\t${file}`);
        for (const p of problems)
            console.log(`\t${p.path?.partUri ?? ""} ${p.path?.xpath ?? ""}: ${p.description} (${p.id})`);
    }
}
process.exit(failures === 0 ? 0 : 1);
