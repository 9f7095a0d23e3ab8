// Validates CycloneDX 1.5 JSON documents with the CycloneDX library's own
// schemas and strict validator (npm @cyclonedx/cyclonedx-library with ajv,
// ajv-formats and ajv-formats-draft2019; scripts/bootstrap.sh installs them
// and the caller puts their node_modules on NODE_PATH).
// Usage: node validate_cyclonedx.js FILE...   exit 0 all valid, 1 invalid, 2 cannot validate
'use strict';
const fs = require('fs');

async function main(files) {
  let CDX;
  try {
    CDX = require('@cyclonedx/cyclonedx-library');
  } catch (error) {
    console.error('cannot load @cyclonedx/cyclonedx-library (run scripts/bootstrap.sh): ' + error.message);
    return 2;
  }
  const validator = new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot5);
  let status = 0;
  for (const file of files) {
    let errors;
    try {
      errors = await validator.validate(fs.readFileSync(file, 'utf8'));
    } catch (error) {
      console.error(file + ': cannot validate: ' + error.message);
      return 2;
    }
    if (errors === null) {
      console.log(file + ': valid CycloneDX 1.5');
    } else {
      console.log(file + ': INVALID\n' + JSON.stringify(errors, null, 2));
      status = 1;
    }
  }
  return status;
}

if (process.argv.length < 3) {
  console.error('usage: node validate_cyclonedx.js FILE...');
  process.exit(2);
}
main(process.argv.slice(2)).then((status) => process.exit(status));
