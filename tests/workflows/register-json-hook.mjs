import { register } from "node:module";
register("./json-hook.mjs", import.meta.url);
