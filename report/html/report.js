"use strict";
// Filters the rows of the report by verdict and by text, and sorts them by
// a column. Without this script every row is shown, payloads first.
(function () {
  const table = document.getElementById("records");
  const controls = document.getElementById("controls");
  if (!table || !controls) return;
  const body = table.tBodies[0];
  const verdict = document.getElementById("filter-verdict");
  const text = document.getElementById("filter-text");
  const shown = document.getElementById("filter-shown");
  controls.hidden = false;

  function filter() {
    const want = verdict.value;
    const needle = text.value.toLowerCase();
    let count = 0;
    for (const row of body.rows) {
      const match = (want === "" || row.classList.contains(want)) &&
        (needle === "" || row.textContent.toLowerCase().includes(needle));
      row.hidden = !match;
      if (match) count += 1;
    }
    shown.textContent = count + " of " + body.rows.length + " rows shown";
  }
  verdict.addEventListener("change", filter);
  text.addEventListener("input", filter);

  // A header becomes a button: the first press sorts by its column, the
  // next reverses the order.
  const headers = Array.from(table.tHead.rows[0].cells);
  headers.forEach(function (header, column) {
    if (header.classList.contains("pics")) return;
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = header.textContent;
    header.textContent = "";
    header.appendChild(button);
    button.addEventListener("click", function () {
      const descending = header.getAttribute("aria-sort") === "ascending";
      headers.forEach(function (other) { other.removeAttribute("aria-sort"); });
      header.setAttribute("aria-sort", descending ? "descending" : "ascending");
      const rows = Array.from(body.rows);
      const key = function (row) { return row.cells[column].textContent; };
      rows.sort(function (a, b) {
        const order = key(a).localeCompare(key(b), undefined, { numeric: true });
        return descending ? -order : order;
      });
      body.classList.add("sorted");
      for (const row of rows) body.appendChild(row);
    });
  });
  // Every row shows at first: counting them is enough, and costs nothing
  // on a long report.
  shown.textContent = body.rows.length + " of " + body.rows.length + " rows shown";
})();
