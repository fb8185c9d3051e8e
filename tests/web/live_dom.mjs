// The live page as the browser tests read it back: the tower's sections and
// rows, the map's markers and its legend, for web_e2e.mjs (a live race) and
// results_e2e.mjs (fixtures).
// "#rrggbb" as getComputedStyle gives a colour.
export function rgb(hex) {
  const [r, g, b] = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
  return `rgb(${r}, ${g}, ${b})`;
}

// The live page's tower, markers and legend, read back from its DOM.
export function readLive(page) {
  return page.evaluate(() => {
    const shown = (n) => n !== null && getComputedStyle(n).display !== "none";
    const row = (tr) => ({
      index: tr.dataset.index,
      pos: tr.querySelector("td.pos").textContent,
      num: tr.querySelector("td.num").textContent,
      chip: tr.querySelector("td.num .chip") ? getComputedStyle(tr.querySelector("td.num .chip")).backgroundColor : null,
      driver: tr.querySelector("td.driver").textContent,
      gap: tr.querySelector("td.gap").textContent,
      interval: tr.querySelector("td.interval").textContent,
      fastest: tr.querySelector("td.best").classList.contains("fastest"),
    });
    return {
      sections: [...document.querySelectorAll("#tower tbody")].map((body) => ({
        cls: body.dataset.class ?? null,
        head: body.querySelector("tr.class-head") ? body.querySelector("tr.class-head .class-name").textContent : null,
        headColour: body.querySelector("tr.class-head") ? getComputedStyle(body.querySelector("tr.class-head .class-name")).color : null,
        rows: [...body.querySelectorAll("tr:not(.class-head)")].map(row),
      })),
      numShown: shown(document.querySelector("#tower th.num")),
      markers: Object.fromEntries([...document.querySelectorAll("#cars g.car")].map((g) =>
        [g.dataset.index, { fill: g.querySelector("circle.dot").getAttribute("fill"), label: g.querySelector("text").textContent,
                            ring: g.classList.contains("leader") }])),
      legend: document.getElementById("legend").hidden ? null : [...document.querySelectorAll("#legend .legend-class")].map((g) => ({
        head: g.querySelector(".legend-head").textContent,
        cars: [...g.querySelectorAll("li")].map((li) => ({ index: li.dataset.index, num: li.querySelector(".dot").textContent,
                                                           name: li.querySelector("bdi").textContent })),
      })),
      width: document.documentElement.scrollWidth,
      clipped: [...document.querySelectorAll("#tower td.driver")].filter((td) => {
        const r = td.getBoundingClientRect();
        return td.scrollWidth > td.clientWidth || r.left < 0 || r.right > innerWidth;
      }).length,
    };
  });
}
