// The parser's dist imports its JSON schemas without `with { type: "json" }`,
// which Node 20 refuses: this hook adds the attribute to every .json import.
export async function load(url, context, nextLoad) {
  if (!url.endsWith(".json")) return nextLoad(url, context);
  const attributes = { ...(context.importAttributes ?? {}), type: "json" };
  return nextLoad(url, { ...context, importAttributes: attributes });
}
