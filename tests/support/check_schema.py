# JSON documents against the package's schemas, by python3-jsonschema: an implementation of its
# own beside the suite's validator, which also checks each schema against the meta-schema.
#   check_schema.py SCHEMA_DIR SCHEMA FILE...   (a .jsonl file: each line a document)
# Prints each fault; exits 1 when there was one.
import json, sys, os
import jsonschema
from jsonschema import Draft202012Validator
folder, name, files = sys.argv[1], sys.argv[2], sys.argv[3:]
schemas = {}
for f in os.listdir(folder):
    if f.endswith(".schema.json"):
        s = json.load(open(os.path.join(folder, f)))
        Draft202012Validator.check_schema(s)
        schemas[f] = s
store = {s["$id"]: s for s in schemas.values()}
main = schemas[name]
resolver = jsonschema.RefResolver(main["$id"], main, store=store)
validator = Draft202012Validator(main, resolver=resolver)
bad = 0
for f in files:
    docs = [json.loads(l) for l in open(f) if l.strip()] if f.endswith(".jsonl") else [json.load(open(f))]
    for i, d in enumerate(docs):
        for e in validator.iter_errors(d):
            bad += 1
            print(f"{f}[{i}]: {e.json_path}: {e.message}")
sys.exit(1 if bad else 0)
